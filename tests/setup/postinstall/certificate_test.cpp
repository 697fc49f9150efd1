#include <gtest/gtest.h>

#include "file_search.h"
#include "payload/payload.h"
#include "postinstall/post_install.h"
#include "test_files.h"

namespace {

ElevationType forcedElevation = ElevationType::full;

// The certificate copy for real, as each kind of token would make it. The process's own token is
// a limited one, as an administrator's is under account control: those cases run as they are,
// and the interpreter really starts through "runas" (without a prompt here). The other kinds of
// token are stood in for. The file on disk tells what happened; a "%" in a path is the tracer:
// the interpreter would expand it, so only a direct copy succeeds there.
TEST(CertificateCopy, DirectOrThroughTheElevatedInterpreterByTokenAndPlace) {
  ASSERT_EQ(queryElevationType(), ElevationType::limited);
  ASSERT_STREQ(elevationVerb(), L"runas");
  const ElevationType full = ElevationType::full, undetermined = ElevationType::undetermined,
                      limited = ElevationType::limited, standard = ElevationType::standard;
  const struct {
    const char* what;
    ElevationType type;
    const wchar_t* programFiles;  // below the test folder; null: no Program Files folder known
    const wchar_t* location;      // the installed location below the test folder
    const wchar_t* work;          // the working folder's name
    bool bin, certificate, earlier, copied;
  } cases[] = {
      {"full token, direct", full, L"Program Files", L"Program Files\\Vendor 50%", L"work", true, true, false, true},
      {"undetermined, direct", undetermined, L"Program Files", L"Program Files\\Vendor", L"work 50%", true, true, false, true},
      {"limited, elevated", limited, L"Program Files", L"Program Files\\Vendor &^!", L"work &^!", true, true, false, true},
      {"default, elevated, replaces", standard, L"Program Files", L"Program Files\\Vendor", L"work", true, true, true, true},
      {"limited, elevated, % refused", limited, L"Program Files", L"Program Files\\Vendor 50%", L"work", true, true, false, false},
      {"limited, % in the working folder", limited, L"Program Files", L"Program Files\\Vendor", L"work %TEMP%", true, true, false, false},
      {"case differs: not protected", limited, L"Program Files", L"program files\\Vendor 50%", L"work", true, true, false, true},
      {"elsewhere: not protected", standard, L"Program Files", L"Apps\\Vendor 50%", L"work", true, true, false, true},
      {"no Program Files: all protected", standard, nullptr, L"Apps\\Vendor 50%", L"work", true, true, false, false},
      {"no Program Files, elevated", standard, nullptr, L"Apps\\Vendor", L"work", true, true, true, true},
      {"direct, no bin folder", full, L"Program Files", L"Program Files\\Vendor", L"work", false, true, false, false},
      {"elevated, no bin folder", limited, L"Program Files", L"Program Files\\Vendor", L"work", false, true, false, false},
      {"no certificate", limited, L"Program Files", L"Program Files\\Vendor", L"work", true, false, false, false},
      // A quiet run asks nobody for elevation: only the copies that need none are made.
      {"quiet, limited: not attempted", limited, L"Program Files", L"Program Files\\Vendor", L"work", true, true, true, false},
      {"quiet, full token: direct", full, L"Program Files", L"Program Files\\Vendor", L"work", true, true, false, true},
      {"quiet, not protected: direct", limited, L"Program Files", L"Apps\\Vendor", L"work", true, true, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestFolder root;
    const CertificateCopy copy{root / c.work, root / c.location + L"\\", c.programFiles ? root / c.programFiles : L"",
                               root.path(), std::string_view(c.what).substr(0, 5) != "quiet"};
    Elevation elevation;
    if (c.type != limited) {
      forcedElevation = c.type;
      elevation.type = [] { return forcedElevation; };
    }
    CreateDirectoryW(copy.distributionFolder.c_str(), nullptr);
    ASSERT_EQ(createPath(copy.installLocation + (c.bin ? L"bin" : L"")), 0u);
    const std::wstring destination = copy.installLocation + L"bin\\cacertnx.pem";
    if (c.certificate) writeFile(copy.distributionFolder + L"\\cacertnx.pem", std::string("certificate ") + c.what);
    if (c.earlier) writeFile(destination, "an older certificate");
    // A cmd.exe in the unpacked distribution, which is the current folder, and one beside the
    // program (a Downloads folder): neither may be the interpreter that runs elevated (it
    // would mark its start and copy nothing). Windows' search finds them before the system's;
    // Wine starts its own interpreter for the bare name as well, so here this guards the
    // outcome rather than showing the search.
    TestFolder markers;
    SetEnvironmentVariableW(L"PONDREL_MARKER_DIR", markers.path().c_str());
    const std::wstring besideProgram = siblingProgram(L"cmd.exe");
    CopyFileW(siblingProgram(L"marker_setup.exe").c_str(), (copy.distributionFolder + L"\\cmd.exe").c_str(), FALSE);
    CopyFileW(siblingProgram(L"marker_setup.exe").c_str(), besideProgram.c_str(), FALSE);
    const CurrentDirGuard inDistribution(copy.distributionFolder);

    EXPECT_EQ(copyCertificate(copy, elevation), c.copied);
    EXPECT_FALSE(exists(markers / L"marker.txt"));
    if (c.copied) {
      EXPECT_EQ(readFile(destination), std::string("certificate ") + c.what);
    } else if (c.bin) {
      EXPECT_EQ(exists(destination) ? readFile(destination) : "", c.earlier ? "an older certificate" : "");
    }
    SetEnvironmentVariableW(L"PONDREL_MARKER_DIR", nullptr);
    DeleteFileW(besideProgram.c_str());
  }
}

}  // namespace
