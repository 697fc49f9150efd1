"""Copies a program with one byte of its code changed, keeping its signature: the copy's
digest no longer matches.   tamper.py <signed.exe> <tampered.exe>"""
import sys

data = bytearray(open(sys.argv[1], "rb").read())
# A byte well inside the first section, far from the headers and the signature at the end.
data[0x600] ^= 0xFF
open(sys.argv[2], "wb").write(bytes(data))
