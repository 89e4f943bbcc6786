#!/usr/bin/env python3
"""Independent decoders over our QR markup: zbarimg reads 200 codes (rasterised here from
their path data, which is checked against the exact form on the way) back to their texts,
and python3-qrcode, given our version, level and mask, builds the same matrix for 200
random texts. Usage: qr_decode_check.py QR_TOOL"""
import os
import random
import re
import subprocess
import sys
import tempfile

import qrcode
import qrcode.constants
import qrcode.util

PAIRING_LINK = "tavro://connect?host=192.168.1.23&port=27183&pin=012345&name=DESK%20M%C3%BCller"
DESK_URI = ("otpauth://totp/tavro%3ADESK-1?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"
            "&issuer=tavro&algorithm=SHA1&digits=6&period=30")
PIXELS = 4  # per module

FORM = re.compile(
    r'<svg xmlns="http://www\.w3\.org/2000/svg" viewBox="0 0 (\d+) (\d+)" shape-rendering="crispEdges">'
    r'<rect width="(\d+)" height="(\d+)" fill="#fff"/><path d="((?:M\d+,\d+h1v1h-1z)*)" fill="#000"/></svg>')
SQUARE = re.compile(r"M(\d+),(\d+)h1v1h-1z")
LEVELS = [qrcode.constants.ERROR_CORRECT_L, qrcode.constants.ERROR_CORRECT_M,
          qrcode.constants.ERROR_CORRECT_Q, qrcode.constants.ERROR_CORRECT_H]


def modules_of(svg):
    """The dark modules (x, y) without the quiet zone, after checking the form."""
    m = FORM.fullmatch(svg)
    if not m or len({m.group(i) for i in range(1, 5)}) != 1:
        raise AssertionError("markup not in the form: " + svg[:120])
    n = int(m.group(1))
    size = n - 6
    dark, last = set(), -1
    for square in SQUARE.finditer(m.group(5)):
        x, y = int(square.group(1)) - 3, int(square.group(2)) - 3
        if not (0 <= x < size and 0 <= y < size) or y * size + x <= last:
            raise AssertionError("path square out of place or out of order: " + square.group(0))
        last = y * size + x
        dark.add((x, y))
    return n, size, dark


def write_pgm(path, n, dark):
    rows = []
    for y in range(n):
        row = bytes(0 if (x - 3, y - 3) in dark else 255 for x in range(n))
        line = b"".join(bytes([v]) * PIXELS for v in row)
        rows.extend([line] * PIXELS)
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (n * PIXELS, n * PIXELS))
        f.write(b"".join(rows))


def random_text(rng):
    kind = rng.randrange(4)
    length = rng.choice([rng.randint(1, 40), rng.randint(1, 300), rng.randint(1, 1200)])
    if kind == 0:
        return "".join(rng.choice("0123456789") for _ in range(length))
    if kind == 1:
        return "".join(rng.choice("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./:") for _ in range(length))
    if kind == 2:
        return "".join(chr(rng.randint(32, 126)) for _ in range(length))
    chars = []
    for _ in range(max(1, length // 3)):
        chars.append(rng.choice([chr(rng.randint(32, 126)), chr(rng.randint(0xA0, 0x7FF)),
                                 chr(rng.randint(0x800, 0xD7FF)), chr(rng.randint(0x10000, 0x10FFFF))]))
    return "".join(chars)


def encode_all(tool, texts):
    data = "".join(t.encode().hex() + "\n" for t in texts)
    out = subprocess.run([tool], input=data.encode(), stdout=subprocess.PIPE, check=True).stdout.decode()
    results = []
    for line in out.splitlines():
        version, level, mask, svg = line.split(" ", 3)
        results.append((int(version), int(level), int(mask), svg))
    if len(results) != len(texts):
        raise AssertionError("the tool answered %d of %d texts" % (len(results), len(texts)))
    return results


def check_zbar(tool, rng, folder):
    texts = [PAIRING_LINK, DESK_URI] + [random_text(rng) for _ in range(198)]
    failures = 0
    for i, (text, (version, _, _, svg)) in enumerate(zip(texts, encode_all(tool, texts))):
        n, size, dark = modules_of(svg)
        if size != 4 * version + 17:
            raise AssertionError("size %d for version %d" % (size, version))
        if text == PAIRING_LINK and (version, n) != (5, 43):
            raise AssertionError("pairing link: version %d, viewBox %d" % (version, n))
        if text == DESK_URI and version != 7:
            raise AssertionError("otpauth URI: version %d" % version)
        pgm = os.path.join(folder, "code%d.pgm" % i)
        write_pgm(pgm, n, dark)
        run = subprocess.run(["zbarimg", "--quiet", "--raw", "-Sdisable", "-Sqrcode.enable", "-Sbinary", pgm],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        got = run.stdout
        if got.endswith(b"\n"):
            got = got[:-1]
        if got != text.encode():
            failures += 1
            print("zbarimg read %r for %r (version %d)" % (got[:60], text[:60], version))
    print("zbarimg: %d of %d decoded exactly" % (len(texts) - failures, len(texts)))
    return failures == 0


def check_python_qrcode(tool, rng):
    texts = [random_text(rng) for _ in range(200)]
    failures = 0
    for text, (version, level, mask, svg) in zip(texts, encode_all(tool, texts)):
        _, size, dark = modules_of(svg)
        qr = qrcode.QRCode(version=version, error_correction=LEVELS[level], border=0, mask_pattern=mask)
        qr.add_data(qrcode.util.QRData(text.encode()), optimize=0)
        qr.make(fit=False)
        matrix = qr.get_matrix()
        theirs = {(x, y) for y in range(size) for x in range(size) if matrix[y][x]}
        if len(matrix) != size or theirs != dark:
            failures += 1
            print("python3-qrcode differs in %d modules for %r (version %d, level %d, mask %d)"
                  % (len(theirs ^ dark), text[:60], version, level, mask))
    print("python3-qrcode: %d of %d matrices equal" % (len(texts) - failures, len(texts)))
    return failures == 0


def main():
    tool = sys.argv[1]
    rng = random.Random(29)
    with tempfile.TemporaryDirectory() as folder:
        ok = check_zbar(tool, rng, folder)
    ok = check_python_qrcode(tool, rng) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
