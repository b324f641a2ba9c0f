#!/usr/bin/env python3
"""Writes the checked-in starting inputs in fuzz/seeds/<target>/.

Rerun after changing an input layout; the harnesses document the layouts.
"""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "seeds", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


LITERALS = [
    "1", "+1.", ".5", "-2.5E-3", "1e+05", "INF", "-Infinity", "nan", "-nan", "1e400", "-1e400",
    "1e-400", "-0", "0.0", "05.25", "1.0D+00", "1,5", "0x10", "0x1p3", "1_000", "1e", "1e+", ".",
    "+", "--1", "+-1", "infinite", "nan(1)", "1.2.3", "2.2250738585072011e-308",
    "4.9406564584124654e-324", "2.4703282292062328e-324", "1.7976931348623157e308",
    "1.7976931348623159e308", "9007199254740993", "1.00000000000000011102230246251565404236316680908203125",
    "0." + "0" * 30 + "1" * 40, "123456789012345678901234567890e-10", "1e99999999999999999999",
    "0e99999999999", "-0e-99999", "12345.678", "0.000015258789062", "1" * 19, "1" * 20 + ".5",
]


def float_seeds():
    for k, lit in enumerate(LITERALS):
        write("fuzz_float", f"lit{k:02d}", lit)
    write("fuzz_float", "line_mixed", "  H\t0.0  0.0 0.0\r\n")
    write("fuzz_float", "line_vt", "H\x0b0 0 0")
    write("fuzz_float", "line_nbsp", "1.0\u00a02.0 3 \u3000 4")
    write("fuzz_float", "line_many", " ".join(LITERALS))
    write("fuzz_float", "line_padded", "   0.5000000000000000  -0.2500000000000000   0.0000000000000000\n")


def fixed_seeds():
    values = [1.0, -1234567.0, -0.0, 1 / 512, 1 / 65536, 12345.678, 1e300, 5e-324, 0.5, 2.5, 1e17,
              9.999999999999999e22, 2.0 ** 63, 2.0 ** 64 - 2048, 0.125, 1e-20]
    for k, v in enumerate(values):
        for mode in (0, 1, 2):
            bits = struct.pack(">d", v)
            write("fuzz_fixed", f"v{k:02d}_m{mode}", bytes([mode]) + bits + b"\x16\x00\x0f\x00")
    # Any W.P, a long precision, exact ties and a string field.
    write("fuzz_fixed", "wide", bytes([3]) + struct.pack(">d", 5e-324) + b"\x00\x84\x40\x05Fe\xc3\x89")
    write("fuzz_fixed", "tie", bytes([3 | (3 << 2)]) + struct.pack(">Q", 0x123456789ABCDEF1) + b"\x0c\x00\x07\x00")
    write("fuzz_fixed", "near_tie", bytes([3 | (4 << 2)]) + struct.pack(">Q", 0x0FEDCBA987654321) + b"\x05\x00\x03\x00")


def block(options, lines, sep=b"\x00"):
    return bytes([options]) + (b"\x00" if sep == b"\x00" else b"\xa0") + sep.join(
        l.encode("utf-8") if isinstance(l, str) else l for l in lines)


def block_seeds():
    poscar = [
        ["0.0 0.0 0.0", "0.5 0.5 0.5", "  0.25\t0.75  1e-3\r\n"],
        ["0 0 0 T F T", "0 0 0 F", "0 0 0", "0 0 0 T F T extra"],
        ["0 0 0 t F F"], ["0 0 0 True F F"], ["1.0 2.0"], [""], ["0.0 abc 0.0"],
        ["1.0D+00 0 0"], ["1e400 nan -inf"], ["12345.678 -0.0 1e17"],
        ["1.0\x0b2.0 3.0"], ["1.0\u00a02.0 3.0 4.0"],
    ]
    for k, lines in enumerate(poscar):
        write("fuzz_poscar", f"p{k:02d}", block(1 if k == 1 or k in (3, 4) else 0, lines))
        write("fuzz_poscar", f"p{k:02d}_sel", block(1, lines, b"\n"))
    xdatcar = [["0.1 0.2 0.3", "0.1 0.2 0.3 0.4", "0.1 0.2 0.3 abc"], ["0.1 0.2"], ["0.1 x 0.3"],
               ["1234.5 NaN -inf"], ["-0.0 0.5 -0.25"]]
    for k, lines in enumerate(xdatcar):
        write("fuzz_xdatcar", f"x{k:02d}", block(0, lines))
        write("fuzz_xdatcar", f"x{k:02d}_nl", block(0x40, lines, b"\n"))
    xyz = [["h 0 0 0", "FE 1 2 3 extra fields", "  Cu\t1.5 2.5 3.5\r\n"], ["H 1.0 2.0"], ["H"],
           ["H 0.0 abc 0.0"], ["H 1.0 x"], ["O 1e400 nan -inf"], ["\u00df 0 0 0", "\u01c6 1 1 1", "\u0391\u03a3 2 2 2"],
           ["H\u00a00 0 0"], ["Mol 12.5 1e17 -0.0"], [b"\xff\xfe 0 0 0", b"\xc3 1 2 3", b"\xe2\x82 1 1 1"],
           ["\u0130stanbul 0 0 0", "\u212a 1 1 1", "\u1f88 2 2 2"], ["", "H 0 0 0"]]
    for k, lines in enumerate(xyz):
        write("fuzz_xyz", f"z{k:02d}", block(0, lines))
        write("fuzz_xyz", f"z{k:02d}_nl", block(0x20, lines, b"\n"))


def cell_list_seeds():
    rng = random.Random(20240601)
    for k in range(24):
        write("fuzz_cell_list", f"r{k:02d}", bytes(rng.randrange(256) for _ in range(rng.choice([16, 48, 120, 300]))))


if __name__ == "__main__":
    float_seeds()
    fixed_seeds()
    block_seeds()
    cell_list_seeds()
