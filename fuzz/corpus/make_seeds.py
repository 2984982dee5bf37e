#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into this folder.

Each target's input layout is described at the top of its source file. Run
again after a layout changes:  python3 fuzz/corpus/make_seeds.py
Files named regress-* are inputs that once found a fault; this script leaves
them alone.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

AREAS = [
    ("ID1x", 0x20009700), ("ID2x", 0x10009200), ("ID3x", 0x40018000),
    ("ID4x", 0x30008200), ("ID5x", 0x10008800), ("ID6x", 0x10008200),
    ("ID7x", 0x30009700), ("ID8x", 0x50008200), ("ID9x", 0x40008200),
    ("ID10x", 0xC0008200), ("ID11x", 0xA0008200), ("ID12x", 0x50008800),
    ("ID13x", 0xA0009700), ("ID14x", 0xD0008200), ("ID15x", 0xE0008200),
    ("ID16x", 0xD1008200), ("ID17x", 0xE1008200), ("ID18x", 0xD2008200),
    ("ID19x", 0xE2008200), ("ID20x", 0xD3008200), ("ID21x", 0xE3008200),
    ("ID22x", 0xD4008200), ("ID23x", 0xE4008200),
]


def write(target, name, data):
    d = os.path.join(HERE, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)


def read_request(seq, area, dev):
    return (b"MR\x0e\x00" + struct.pack("<H", seq) + b"\x1e\x00"
            + struct.pack(">I", area) + struct.pack("<I", dev))


def read_answer_seeds():
    t = "fuzz_read_answer"
    for i, (seq, area, dev, off, length, payload) in enumerate([
        (1, 0x30008200, 1, 0, 2, 64),      # a word at address 0
        (2, 0x20009700, 1, 10, 8, 1024),   # a double inside a whole area
        (3, 0xE4008200, 7, 1020, 4, 1024), # the last four bytes of the area
        (4, 0x10009200, 1, 0, 0, 0),       # header only
        (5, 0x10008800, 1, -16, 4, 8),     # negative offset reaching into the header
        (65535, 0x40018000, 0x00ABCDEF, 100, 1468, 1600),  # long: log cut
    ]):
        req = read_request(seq, area, dev)
        ans = req + bytes((j * 7 + 3) & 0xFF for j in range(payload))
        write(t, "ok%d" % i, struct.pack("<HIIiiB", seq, area, dev, off, length, 16) + ans)
    req = read_request(9, 0x30008200, 1)
    write(t, "magic", struct.pack("<HIIiiB", 9, 0x30008200, 1, 0, 2, 16) + b"E" + req[1:] + b"\x01\x02")
    write(t, "echo", struct.pack("<HIIiiB", 9, 0x30008200, 1, 0, 2, 16) + req[:12] + b"\x02\x00\x00\x00\x01\x02")
    write(t, "short", struct.pack("<HIIiiB", 9, 0x30008200, 1, 0, 2, 16) + req[:8])
    write(t, "empty", struct.pack("<HIIiiB", 9, 0x30008200, 1, 0, 2, 16))
    write(t, "shortreq", struct.pack("<HIIiiB", 9, 0x30008200, 1, 0, 2, 12) + req + b"\x01\x02")
    write(t, "huge", struct.pack("<HIIiiB", 9, 0x30008200, 1, 0x7FFFFFF0, 0x7FFFFFFF, 16) + req)


def codec_seeds():
    t = "fuzz_codec"
    nan_inf = (struct.pack("<f", float("nan")) + struct.pack("<f", float("inf"))
               + struct.pack("<f", -0.0) + b"\x01\x00\x80\x7f"        # signalling NaN
               + struct.pack("<d", float("-inf")) + b"\x01\x00\x00\x00\x00\x00\xf0\x7f")
    write(t, "floats", struct.pack("<hBBB", 8, 7, 10, 3) + nan_inf)
    write(t, "ints", struct.pack("<hBBB", 16, 5, 6, 0) + bytes(range(0x80, 0xC0)))
    write(t, "negative", struct.pack("<hBBB", -3, 0, 0, 0) + b"\xff" * 8)
    write(t, "zero", struct.pack("<hBBB", 0, 1, 2, 0))
    write(t, "bits", struct.pack("<hBBB", 13, 0, 0, 0) + b"\xa5\xff\x0f")
    text = "Ofen 3 Temperatur \u00b0C \u6e29\u5ea6 \U0001F525".encode("utf-8")
    write(t, "strings", struct.pack("<hBBB", 3, 11, 11, 9)
          + bytes([len(text)]) + text + b"\x05ab\x00cd" + b"\x00")
    write(t, "longtext", struct.pack("<hBBB", 2, 11, 3, 200) + bytes([255]) + b"x" * 300)
    write(t, "bad-utf8", struct.pack("<hBBB", 2, 11, 11, 2) + b"\x04\xc3\x28\xff\xfe\x02\xe2\x82")
    write(t, "large", struct.pack("<hBBB", 4096, 0x80 | 9, 3, 0) + bytes((j * 31) & 0xFF for j in range(512)))


def tags_seeds():
    t = "fuzz_tags"
    i = 0
    for tag, dtype, count, kind, elems, entry in [
        ("ID4x100", 6, 1, 5, 1, 0),
        ("id4X100", 4, 2, 3, 2, 1),
        ("ID1x0", 1, 9, 0, 9, 1),
        ("ID1x0", 1, 1, 0, 1, 3),
        ("ID23x1020", 12, 16, 11, 1, 1),
        ("ID12x7", 12, 4, 11, 1, 1),          # string longer than the field
        ("ID2x16777215", 2, 1, 1, 1, 1),      # last 24-bit address
        ("ID2x16777216", 2, 1, 1, 1, 1),      # first address past it
        ("ID3x2147483647", 8, 1, 7, 1, 0),
        ("ID3x2147483648", 8, 1, 7, 1, 0),
        ("ID3x4294967296", 8, 1, 7, 1, 0),
        ("ID5x12x34", 11, 3, 10, 3, 0),
        ("ID6x", 9, 1, 8, 1, 0),
        ("ID7", 10, 1, 9, 1, 0),
        ("ID22xID1x5", 5, 1, 4, 1, 0),
        ("ID9x-5", 6, 1, 5, 1, 1),
        ("ID10x +42", 6, 1, 5, 1, 0),
        ("ID11x8", 13, 5, 3, 5, 0),           # host type code
        ("ID13x8", 0, 5, 3, 5, 1),
        ("ID14x8", 6, -1, 5, 1, 1),
        ("ID15x8", 6, 0, 5, 1, 1),
        ("ID16x8", 6, 3, 5, 1, 1),            # too few elements
        ("ID17x8", 7, 2, 12, 0, 1),           # no value
        ("ID18x8", 7, 2, 13, 4, 1),           # not a list
        ("ID19x8", 7, 2, 14, 4, 1),           # a QVariantList
        ("ID20x8", 9, 268435456, 8, 1, 0),    # 2^31 bytes
        ("ID21x8", 1, 2147483647, 0, 1, 0),
        ("\u0130D8x1", 6, 1, 5, 1, 0),        # dotted capital I
        ("\u00e9ID8x\u00e91", 6, 1, 5, 1, 0),
    ]:
        tb = tag.encode("utf-8")
        body = struct.pack("<iiBBBB", dtype, count, kind, elems, len(tb), entry) + tb
        body += bytes((j * 13 + 1) & 0xFF for j in range(32))
        write(t, "%02d" % i, body)
        i += 1


def record_seeds():
    t = "fuzz_record"
    widths = [1, 1, 1, 2, 2, 4, 4, 4, 8, 8, 8, 64]

    def rec(dtype, count, kind, n, rc=0, label=0, aux=0, elements=b""):
        w = widths[kind] if kind < 12 else 1
        body = elements.ljust(n * w, b"\x00")[: n * w]
        return bytes([(dtype + 5) % 256, (count + 2) % 256, kind, n, rc & 0xFF, label, aux]) + body

    fl = struct.pack("<ffff", 1.5, 0.0, float("nan"), float("inf"))
    db = struct.pack("<dddd", -2.0, 0.0, float("-inf"), 1e308)
    i32 = struct.pack("<iiii", -2147483648, -1, 0, 7)
    i16 = struct.pack("<hhhh", -32768, -1, 0, 3)
    i64 = struct.pack("<qqqq", -(2 ** 63), -1, 0, 5)
    cases = [
        (rec(6, 4, 5, 4, elements=i32), rec(6, 4, 5, 4, elements=i32[4:] + i32[:4])),
        (rec(4, 4, 3, 4, elements=i16), rec(4, 4, 3, 4, elements=i16[2:] + i16[:2])),
        (rec(9, 4, 8, 4, elements=i64), rec(9, 4, 8, 4, elements=i64[8:] + i64[:8])),
        (rec(8, 4, 7, 4, elements=fl), rec(8, 4, 7, 4, elements=fl[::-1])),
        (rec(11, 4, 10, 4, elements=db), rec(11, 4, 10, 4, elements=db[8:] + db[:8])),
        (rec(37, 4, 10, 4, elements=db), rec(37, 4, 10, 4, elements=db)),
        (rec(17, 2, 5, 2, elements=i32), rec(17, 2, 5, 2, elements=i32)),
        (rec(12, 2, 11, 2, elements=b"\x02ab" + b"\x00" * 61 + b"\x01c"), rec(12, 2, 11, 2)),
        (rec(1, 3, 0, 3, elements=b"\x01\x00\x01"), rec(1, 3, 0, 3, elements=b"\x00\x00\x01")),
        (rec(2, 2, 1, 2, elements=b"\x80\xff"), rec(2, 2, 1, 2, elements=b"\xff\x00")),
        (rec(10, 1, 9, 1, elements=b"\xff" * 8), rec(10, 1, 9, 1)),
        (rec(6, 4, 7, 4, elements=fl), rec(6, 4, 5, 4, elements=i32)),   # left holds floats
        (rec(6, 3, 5, 4, elements=i32), rec(6, 3, 5, 2, elements=i32)),  # counts differ
        (rec(6, -1, 12, 0), rec(6, 2, 13, 4, elements=b"text")),
        (rec(25, 2, 5, 2, elements=i32), rec(6, 2, 5, 2, elements=i32)), # no arithmetic
        (rec(0, 0, 12, 0), rec(0, 0, 12, 0)),
        (rec(-5, 1, 15, 3, elements=b"\x01\x02\x03"), rec(45, 1, 14, 1)),
    ]
    for i, (a, b) in enumerate(cases):
        write(t, "%02d" % i, a + b + bytes([i * 3 % 256]))


def answer_match_seeds():
    t = "fuzz_answer_match"
    none = b"\x00" * 11
    late_header = b"\x02\x01\x01\x00\x00\x00\x0c\x00\x00\x02\x00"
    cases = {
        # fresh read, its own answer
        "read-own": bytes([0x00, 0]) + none + struct.pack("<H", 5)
                    + read_request(5, 0x30008200, 1) + b"\x7f",
        # echo and address learned, the answer to read 3 that timed out
        "read-late": bytes([0x0B, 1]) + struct.pack("<H", 3) + none + struct.pack("<H", 5)
                     + read_request(3, 0x30008200, 1) + b"\x7f",
        # address learned, the datagram from elsewhere
        "stranger": bytes([0x03, 0]) + none + struct.pack("<H", 5)
                    + read_request(5, 0x30008200, 1) + b"\x7f",
        # write, header echo learned, an acknowledgement cut to 2 bytes
        "write-cut": bytes([0x1C, 0]) + none + struct.pack("<H", 12) + bytes([2]) + b"\x01\x02"
                     + b"\x02\x01",
        # a write that timed out, its copied header during a read
        "late-write": bytes([0x48, 0]) + late_header + struct.pack("<H", 5) + late_header,
        # another controller's late answer to read 3, from its endpoint
        "former-peer": bytes([0x80, 0x41]) + struct.pack("<H", 3) + none + struct.pack("<H", 5)
                       + read_request(3, 0x30008200, 1) + b"\x7f",
        # a counting controller: its own read 3 timed out, the field names nothing
        "counting": bytes([0x09, 0x11]) + struct.pack("<H", 3) + none + struct.pack("<H", 4)
                    + read_request(3, 0x30008200, 1) + b"\x7f",
        # area codes copied: an answer for another area
        "other-area": bytes([0x09, 0x20]) + none + struct.pack("<H", 5)
                      + read_request(5, 0x30008300, 1) + b"\x7f",
    }
    for name, data in cases.items():
        write(t, name, data)


def probe_seeds():
    t = "fuzz_probe"
    ctrl = 0xC0A8000A            # 192.168.0.10
    port = 9600

    def log(requests, datagrams, flags=0, wait=39, rtt_area=3, write_area=3, write_addr=100, seq=0x2A01):
        """requests: (phase, area index or device id, short wait, sent us);
        datagrams: (sender, mode, at us, tail, port or None, mode bytes).
        flags bits 4-6: the tries of each check less one."""
        out = struct.pack("<IHIHBBBBBH", ctrl, port, 1, seq, wait, flags, len(requests),
                          rtt_area, write_area, write_addr)
        now = 0
        for phase, area, short, sent in requests:
            out += struct.pack("<BBH", phase | (0x80 if short else 0), area, (sent - now) // 50)
            now = sent
        now = 0
        for sender, mode, at, tail, from_port, extra in datagrams:
            how = sender | mode << 4 | (4 if from_port is not None else 0)
            out += struct.pack("<BHH", how, (at - now) // 20, len(tail))
            now = at
            if from_port is not None:
                out += struct.pack("<H", from_port)
            out += extra + tail
        return out

    image = bytes((j * 5 + 1) & 0xFF for j in range(64))
    # Three areas with images, one error answer, one silent; round trips,
    # another device id and a write, all answered by an echoing controller,
    # with one duplicate.
    reqs = [(0, 0, False, 0), (0, 1, False, 5000), (0, 2, False, 10000), (0, 3, True, 15000),
            (0, 4, True, 220000),
            (1, 0, False, 430000), (1, 0, False, 440000), (1, 0, False, 450000),
            (2, 0, False, 460000), (3, 0, False, 470000)]
    dgs = [(0, 4, 1000, image, None, b""), (0, 4, 6000, image[:32], None, b""),
           (0, 4, 11000, image, None, b""), (0, 0, 16000, b"E\x00\x00\x01", None, b""),
           (0, 4, 431000, image[:8], None, b""), (0, 4, 441000, image[:8], None, b""),
           (0, 4, 441500, image[:8], None, b""), (0, 4, 451000, image[:8], None, b""),
           (0, 4, 461000, image[:8], None, b""), (0, 4, 471000, b"", None, b"")]
    write(t, "echo", log(reqs, dgs, flags=1))
    # The same run from a controller that leaves the sequence zero.
    write(t, "no-echo", log(reqs, [(s_, 5 if m == 4 else m, a, tl, p_, x) for s_, m, a, tl, p_, x in dgs], flags=1))
    # A round trip answered after its wait, while the next read waits: the
    # copy of the older request's header comes after the newer one.
    reqs = [(0, 3, False, 0), (1, 3, False, 20000), (1, 3, False, 250000), (1, 3, False, 260000)]
    dgs = [(0, 4, 1000, image[:4], None, b""),
           (0, 6, 255000, image[:4], None, b"\x01"), (0, 4, 256000, image[:4], None, b""),
           (0, 4, 261000, image[:4], None, b"")]
    write(t, "late", log(reqs, dgs, wait=39, rtt_area=3))
    # Datagrams from another address, an IPv6 one and another port.
    reqs = [(0, 0, False, 0), (0, 1, False, 5000), (1, 0, False, 10000)]
    dgs = [(2, 0, 500, b"hello", None, b""), (3, 4, 1000, image[:4], 40000, b""),
           (0, 4, 2000, image[:4], 9601, b""), (2, 4, 6000, image[:4], None, b""),
           (0, 4, 11000, image[:4], None, b"")]
    write(t, "stranger", log(reqs, dgs))
    # Answers whose device id (byte 12) differs from the request's.
    reqs = [(0, 0, False, 0), (0, 1, False, 5000), (1, 0, False, 10000), (2, 0, False, 15000)]
    dgs = [(0, 7, 1000, image[:4], None, b"\x0c\x01"), (0, 7, 6000, image[:4], None, b"\x0c\x01"),
           (0, 7, 11000, image[:4], None, b"\x0c\x01"), (0, 4, 16000, image[:6], None, b"")]
    write(t, "device", log(reqs, dgs))
    # Nothing came: the host reported the port closed, the write skipped.
    write(t, "silent", log([(0, i, i >= 3, i * 200000) for i in range(6)], [], flags=1 | 2 | 4 | 8))
    # Every area read three rounds: ID4x lost once, cut short once; a write
    # after a read of its area, twice.
    reqs, dgs, at = [], [], 0
    for rnd in range(3):
        for a in range(23):
            at += 5000
            reqs.append((0, a, False, at))
            if a == 3 and rnd == 1:
                continue
            dgs.append((0, 4, at + 300, image[:8] if a == 3 and rnd == 2 else image, None, b""))
    for _ in range(2):
        at += 5000
        reqs.append((6, 0, False, at))
        dgs.append((0, 4, at + 300, image, None, b""))
        at += 5000
        reqs.append((3, 0, False, at))
        dgs.append((0, 4, at + 300, b"", None, b""))
    write(t, "rounds", log(reqs, dgs, flags=1 | 2 << 4))
    # No area answered as device 1; the scan's reads go out together, device
    # 7 answers its own and both reads of it alone.
    reqs = [(0, i, False, i * 10000) for i in range(23)]
    at = 23 * 10000
    for dev in (0, 1, 2, 7, 255):
        reqs.append((4, dev, False, at))
        at += 1000
    dgs = [(0, 6, at + 500, image[:8], None, bytes([23 + 3]))]
    for _ in range(2):
        at += 10000
        reqs.append((5, 7, False, at))
        dgs.append((0, 4, at + 300, image[:8], None, b""))
    write(t, "scan", log(reqs, dgs, flags=1 << 4))


def capture_seeds():
    t = "fuzz_capture"
    EN10MB, SLL, SLL2, RAW, IPV4, NULL, LOOP, UNSUPPORTED = range(8)
    BIG, NANO = 8, 16
    SNAP_FULL, SNAP_MAX, SNAP_SMALL, SNAP_ZERO = 0, 32, 64, 96
    BUILT, LEN_ABOVE, LEN_BELOW, CAPLEN_ABOVE, COPY, READ = 1, 4, 8, 16, 64, 128
    A_TO, TO_A, B_TO, TO_B = 0x00, 0x10, 0x20, 0x30
    OTHER_PORT, ELSEWHERE = 0x40, 0x80

    def rec(form, frame, data=b"", adjust=0, ms=1, seq=None, area=3):
        if form & READ:
            return struct.pack("<BBHBB", form, frame, 0, adjust, ms) + struct.pack("<HB", seq, area)
        return struct.pack("<BBHBB", form, frame, len(data), adjust, ms) + data

    def cap(file_byte, records, snap=0):
        return bytes([file_byte, snap]) + b"".join(records)

    image = bytes((j * 5 + 1) & 0xFF for j in range(32))
    # A read on Ethernet and its answer echoing the header.
    write(t, "ether-read", cap(EN10MB, [rec(BUILT | READ, A_TO, seq=0x2A01),
                                       rec(BUILT | COPY, TO_A, image, ms=2)]))
    # Tagged frames with padding in a big-endian file of nanoseconds; the
    # answer from another port, a second read answered without the echo.
    write(t, "ether-vlan", cap(EN10MB | BIG | NANO, [
        rec(BUILT | READ, A_TO | 1, seq=0x2B02, area=0),
        rec(BUILT | COPY, TO_A | OTHER_PORT | 2, image[:8]),
        rec(BUILT | READ, A_TO | 4, seq=0x2C03, area=0, ms=20),
        rec(BUILT, TO_A | 4, b"MR\x0e\x00\x00\x00\x1e\x00" + bytes(8) + image[:4]),
        rec(BUILT | READ, A_TO, seq=0x2D04, area=0, ms=200),
    ]))
    write_req = b"\x02\x01\x01\x00\x00\x00\x64\x00\x00\x02\x00\x12\x34"
    # A write and its copied header on Linux cooked capture, twice, the
    # second left unanswered.
    write(t, "sll-write", cap(SLL, [rec(BUILT, A_TO, write_req), rec(BUILT | COPY, TO_A, b""),
                                    rec(BUILT, A_TO, write_req, ms=50)]))
    # Two clients at once (cooked v2), a stranger in between.
    write(t, "sll2-clients", cap(SLL2, [
        rec(BUILT | READ, A_TO, seq=0x0101, area=5), rec(BUILT | READ, B_TO, seq=0x0202, area=5),
        rec(BUILT, TO_B | ELSEWHERE, image[:4]), rec(BUILT | COPY, TO_B, image[:4]),
        rec(BUILT | COPY, TO_A, image[:4]), rec(BUILT | COPY, TO_A, image[:4])]))
    # Raw IP: fragments, TCP, lengths that do not add up, a cut-off header.
    write(t, "raw-wrong", cap(RAW, [rec(BUILT | READ, A_TO, seq=7)] +
                          [rec(BUILT, TO_A | w, image[:12]) for w in range(5, 16)]))
    # BSD loopback, and a snap length that cuts the answer.
    write(t, "null", cap(NULL, [rec(BUILT | READ, A_TO, seq=9, area=22), rec(BUILT | COPY, TO_A, image)]))
    write(t, "loop-snap", cap(LOOP | SNAP_SMALL, [rec(BUILT | READ, A_TO, seq=9, area=22),
                                                 rec(BUILT | COPY | LEN_ABOVE, TO_A, image * 4, adjust=40)],
                              snap=8))
    write(t, "ipv4", cap(IPV4 | SNAP_ZERO, [rec(BUILT | READ, A_TO, seq=11),
                                           rec(BUILT | LEN_BELOW, TO_A, image, adjust=3)]))
    write(t, "unsupported", cap(UNSUPPORTED, [rec(BUILT | READ, A_TO, seq=1)]))
    # A record that says it holds more than the file has.
    write(t, "truncated", cap(EN10MB | SNAP_MAX, [rec(BUILT | READ, A_TO, seq=3),
                                                rec(BUILT | COPY | CAPLEN_ABOVE, TO_A, image, adjust=100)]))
    # Frames as they are: an Ethernet frame of ARP, and bytes.
    arp = b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x02\x08\x06" + bytes(28)
    write(t, "ether-bytes", cap(EN10MB, [rec(0, 0, arp), rec(0, 0, b"\x01\x02\x03")]))


if __name__ == "__main__":
    read_answer_seeds()
    answer_match_seeds()
    codec_seeds()
    tags_seeds()
    record_seeds()
    probe_seeds()
    capture_seeds()
