"""The setup stub on its own: start-up, window title, the error box, the progress line, the
working folder's life, and close requests, as a user sees them under Wine."""
import struct
import zlib

import pefile
import pytest

from bench import (PONDREL, box_text, button_text, click, close_window, copy_program, finish, message_box, run, scratch,
                   screenshot, send, start, wait_for, wait_gone, wait_window, window_text, windows, wintest,
                   WorkFolderWatch)

PREFIX_EN = "Preparing to start installation - unpacking archive: "
PREFIX_RU = "Подготовка начала установки - распаковка архива: "
WM_PROGRESS = 1025
WM_NCHITTEST = 0x84
HTCAPTION = 2
WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x40000, 0x20000, 0x10000
RT_ICON, RT_GROUP_ICON = 3, 14


def stub_copy(name="Pondrel.exe", offset=None):
    folder = scratch()
    program = copy_program(PONDREL, folder, name)
    if offset is not None:
        wintest("update-resource-text", program, 10, 1, 0, str(offset))
    return program


def main_window(title):
    return wait_window(title, 15000, "--class", "MYPONDREL")


def test_plain_stub_reports_missing_payload_and_leaves_nothing():
    folders = WorkFolderWatch()
    program = stub_copy()
    # Started from another folder, with arguments that must change nothing.
    proc = start(program, "/d", "--unused", "x", cwd="/")
    try:
        box = message_box("Error")
        assert box_text(box) == "can't find local res"
        window = main_window("Pondrel")
        assert window["title"] == "Pondrel"
        click("OK", "Error")
        assert wait_gone("Pondrel", 30000, "--class", "MYPONDREL")
    finally:
        result = finish(proc)
    assert result.code == 0
    # The payload is looked for before any folder is made.
    folders.assert_removed(expect_seen=False)


@pytest.mark.parametrize("name,title", [("Client Setup 2.1.exe", "Client Setup 2.1"),
                                        ("setup.v2.x.exe", "setup.v2.x")])
def test_window_title_is_the_program_file_stem(name, title):
    proc = start(stub_copy(name))
    try:
        message_box("Error")
        assert main_window(title)["title"] == title
        click("OK", "Error")
    finally:
        assert finish(proc).code == 0


def test_working_folder_lives_for_the_run_and_progress_line_updates():
    folders = WorkFolderWatch()
    # An offset past the end of the program: nothing is copied and the unpacker cannot open the
    # empty copy, so the run stops in the error box with its folders still there.
    program = stub_copy(offset=50_000_000)
    proc = start(program)
    try:
        box = message_box("Error")
        assert box_text(box).startswith("error occured, during archive unpackaging: can't open zip: ")
        # The working folder, and the archive copy's folder beside it with the empty copy.
        created = folders.look()
        assert len(created) == 2, created
        copies = [folder / "tmp.zip" for folder in created if (folder / "tmp.zip").exists()]
        assert len(copies) == 1 and copies[0].stat().st_size == 0, created

        title = program.stem
        window = main_window(title)
        # A drag anywhere on the line moves the window; it has no size box, no minimise or
        # maximise box.
        inside = ((window["y"] + 45) << 16) | (window["x"] + 300)
        assert int(send(title, WM_NCHITTEST, 0, inside).out) == HTCAPTION
        assert window["style"] & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX) == 0
        assert window["w"] == 600 and window["h"] == 70
        assert window_text(title, 1000) == PREFIX_EN + "0%"
        send(title, WM_PROGRESS, 0, 57)
        assert window_text(title, 1000) == PREFIX_EN + "57%"
        screenshot("progress-window.png")
        click("OK", "Error")
        assert wait_for(lambda: not any(folder.exists() for folder in created), 30)
    finally:
        assert finish(proc).code == 0
    folders.assert_removed()


def test_russian_user_sees_russian_progress_line():
    program = stub_copy("Установка.exe", offset=50_000_000)
    proc = start(program, locale="ru_RU.UTF-8")
    try:
        box = message_box("Error")
        assert window_text("Установка", 1000) == PREFIX_RU + "0%"
        click(button_text(box, 1), "Error")
    finally:
        assert finish(proc).code == 0


def test_close_while_error_box_is_shown_still_removes_the_folder():
    folders = WorkFolderWatch()
    program = stub_copy(offset=50_000_000)
    proc = start(program)
    try:
        message_box("Error")
        assert len(folders.look()) == 2  # the working folder and the archive copy's
        close_window(program.stem)
        # The error box is the worker's: once answered, the worker lets go of the installer.
        if any(w["title"] == "Error" for w in windows()):
            click("OK", "Error")
    finally:
        result = finish(proc, timeout=30)
    assert result.code == 0
    folders.assert_removed()


def test_icon_keeps_every_size_and_depth():
    # 16 to 256 pixels at 4, 8, 24 and 32 bits; the images of 40 pixels and more are stored as
    # PNG (with a palette or as RGBA), which Windows reads from Vista on, the others as bitmaps
    # with their own size and depth, for Windows XP.
    pe = pefile.PE(str(PONDREL))
    resources = {kind.id: kind for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries}

    def data(kind, name):
        entry = next(e for e in resources[kind].directory.entries if e.id == name).directory.entries[0].data.struct
        return pe.get_data(entry.OffsetToData, entry.Size)

    group = data(RT_GROUP_ICON, 107)
    count = struct.unpack_from("<H", group, 4)[0]
    seen = set()
    for i in range(count):
        width, _, _, _, _, bits, size, image_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        width = width or 256
        image = data(RT_ICON, image_id)
        assert len(image) == size, (width, bits)
        if width >= 40:
            assert image[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", image[16:24]) == (width, width), bits
            depth, colour_type = image[24], image[25]
            assert (depth, colour_type) in ((8, 3), (8, 6)), (width, bits)
            raw = zlib.decompress(b"".join(image[p + 8:p + 8 + struct.unpack(">I", image[p:p + 4])[0]]
                                           for p in png_chunks(image, b"IDAT")))
            assert len(raw) == width * (1 + width * (4 if colour_type == 6 else 1)), (width, bits)
        else:
            header_size, dib_width, dib_height, _, dib_bits = struct.unpack_from("<IiiHH", image)
            assert (header_size, dib_width, dib_height, dib_bits) == (40, width, 2 * width, bits)
        seen.add((width, bits))
    assert seen == {(w, b) for w in (16, 20, 32, 40, 48, 256) for b in (4, 8, 24, 32)}


def png_chunks(png, kind):
    """Offsets of the chunks of `kind` (at their length field)."""
    offsets, position = [], 8
    while position < len(png):
        length = struct.unpack(">I", png[position:position + 4])[0]
        if png[position + 4:position + 8] == kind:
            offsets.append(position)
        position += 12 + length
    return offsets
