#!/usr/bin/python3
# Writes widths.txt, the widths a terminal cell must give each code point: the C library's
# wcwidth under C.UTF-8 (made once, with glibc 2.36), where a wide character is 2 and
# everything else 1, and on top of it the ranges Unicode's data makes zero-width (combining
# marks, format controls) or wide (East Asian Wide and Fullwidth) that older C libraries miss.
# Run again only on purpose: the table is what the tests hold the code to.
import ctypes, locale, sys

ZERO = [(0x0300, 0x036F), (0x0483, 0x0489), (0x0591, 0x05BD), (0x064B, 0x065F), (0x200B, 0x200F),
        (0x202A, 0x202E), (0x2060, 0x2064), (0x20D0, 0x20FF), (0xFE00, 0xFE0F), (0xFE20, 0xFE2F),
        (0xFEFF, 0xFEFF)]
WIDE = [(0x1100, 0x115F), (0x2E80, 0x303E), (0x3041, 0x33FF), (0x3400, 0x4DBF), (0x4E00, 0xA4CF),
        (0xA960, 0xA97F), (0xAC00, 0xD7A3), (0xF900, 0xFAFF), (0xFE30, 0xFE6F), (0xFF00, 0xFF60),
        (0xFFE0, 0xFFE6), (0x1F300, 0x1F64F), (0x1F900, 0x1F9FF), (0x20000, 0x3FFFD)]

locale.setlocale(locale.LC_CTYPE, "C.UTF-8")
libc = ctypes.CDLL("libc.so.6")
libc.wcwidth.argtypes = [ctypes.c_wchar]

def width(cp):
    if any(a <= cp <= b for a, b in ZERO):
        return 0
    if any(a <= cp <= b for a, b in WIDE):
        return 2
    return 2 if libc.wcwidth(chr(cp)) == 2 else 1

out = sys.stdout
out.write("# first last width (hexadecimal code points); surrogates left out\n")
start, current = 0, width(0)
for cp in range(1, 0x110000):
    if 0xD800 <= cp <= 0xDFFF:
        w = None
    else:
        w = width(cp)
    if w != current:
        if current is not None:
            out.write("%X %X %d\n" % (start, cp - 1, current))
        start, current = cp, w
out.write("%X %X %d\n" % (start, 0x10FFFF, current))
