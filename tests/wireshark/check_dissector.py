#!/usr/bin/env python3
"""Checks the Wireshark dissector against traffic captured by the simulator.

Starts veskor-sim with --pcap on a free port, runs a scripted session over
UDP on 127.0.0.1 (reads, writes, an unknown area, malformed requests), stops
the simulator with SIGTERM and decodes the capture with tshark and the Lua
dissector, comparing the decoded fields frame by frame. A second capture has
the simulator answer late and from another port, with two reads waiting at
once and one read it leaves unanswered: answers go to their requests by
sequence, whatever port they come from.

Exit status: 0 passed, 1 failed, 77 skipped (tshark not installed).
"""

import argparse
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

SKIP = 77

ID4X = 0x30008200
ID23X = 0xE4008200
UNKNOWN_AREA = 0x12345678
AREA_SIZE = 1024


def read_request(seq, area, device):
    return b"MR\x0e\x00" + struct.pack("<H", seq) + b"\x1e\x00" + struct.pack(">I", area) + struct.pack("<I", device)


def u24_hlm(n):
    """24-bit number as bits 16..23, bits 0..7, bits 8..15."""
    return bytes([(n >> 16) & 0xFF, n & 0xFF, (n >> 8) & 0xFF])


def write_request(address, length, data):
    return b"\x02\x01\x01\x00\x00" + u24_hlm(address) + u24_hlm(length) + data


class Failure(Exception):
    pass


def expect(cond, message):
    if not cond:
        raise Failure(message)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_sim(sim, pcap, sim_args, emulator=()):
    proc = subprocess.Popen(
        list(emulator) + [sim, "--listen", "127.0.0.1:0", "--pcap", pcap] + sim_args,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline().strip()
    prefix = "veskor-sim listening on 127.0.0.1:"
    if not line.startswith(prefix):
        proc.kill()
        _, err = proc.communicate(timeout=10)
        raise Failure("veskor-sim did not start: %r %s" % (line, err.strip()))
    return proc, int(line[len(prefix):])


def client(port, answer_port=None):
    """A client socket, its controller's address and ask(): send, take one answer."""
    ctrl = ("127.0.0.1", port)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(5.0)

    def receive(what):
        try:
            answer, peer = s.recvfrom(70000)
        except socket.timeout:
            raise Failure("no answer from the simulator to %s" % what)
        want = ("127.0.0.1", answer_port or port)
        expect(peer == want, "answer from %s, expected %s" % (peer, want))
        return answer

    def ask(datagram):
        s.sendto(datagram, ctrl)
        return receive(datagram.hex())
    return s, ctrl, ask, receive


def session(port, _answer_port):
    """The scripted client session; checks the simulator's answers on the way."""
    s, ctrl, ask, _ = client(port)

    # 1, 2: read ID4x, device 7, sequence 1
    req = read_request(1, ID4X, 7)
    ans = ask(req)
    expect(len(ans) == 16 + AREA_SIZE and ans[:16] == req and ans[16:18] == b"\x34\x12",
           "read answer for ID4x unexpected: %d bytes, %s" % (len(ans), ans[:20].hex()))
    # 3, 4: write 2 bytes at address 300
    req = write_request(300, 2, b"\xab\xcd")
    ans = ask(req)
    expect(ans == req[:11], "write answer unexpected: %s" % ans.hex())
    # 5, 6: read an unknown area
    ans = ask(read_request(2, UNKNOWN_AREA, 7))
    expect(len(ans) == 16 and ans[0:1] != b"M", "unknown area answer unexpected: %s" % ans.hex())
    # 7: a read request one byte short (not answered)
    s.sendto(read_request(3, ID4X, 7)[:15], ctrl)
    # 8, 9: read ID23x, device 0x01020304, sequence 0xBEEF: the write reached every area
    ans = ask(read_request(0xBEEF, ID23X, 0x01020304))
    expect(len(ans) == 16 + AREA_SIZE and ans[16 + 300:16 + 302] == b"\xab\xcd",
           "read answer for ID23x does not hold the written bytes")
    # 10, 11: a write whose length field (0x010203 = 66051) exceeds the 2 data bytes,
    # address 0x0A0B0C = 658188 past the areas (stored nowhere, still acknowledged)
    ans = ask(write_request(0x0A0B0C, 0x010203, b"\x01\x02"))
    expect(len(ans) == 11, "write answer unexpected: %s" % ans.hex())
    # 12, 13: a write carrying 2 bytes more than its length field says
    ans = ask(write_request(16, 1, b"\x55\x66\x77"))
    expect(len(ans) == 11, "write answer unexpected: %s" % ans.hex())
    s.close()


def session_answer_port(port, answer_port):
    """Answers 100 ms late from answer_port; the simulator is device 7."""
    s, ctrl, ask, receive = client(port, answer_port)
    # 1, 2: two reads waiting at once; 3, 4: their answers, in order
    s.sendto(read_request(1, ID4X, 7), ctrl)
    s.sendto(read_request(2, ID23X, 7), ctrl)
    got = [receive("read %d" % n)[4:6] for n in (1, 2)]
    expect(got == [b"\x01\x00", b"\x02\x00"], "read answers came as sequences %s" % got)
    # 5: a read for device 8, which this controller leaves unanswered
    s.sendto(read_request(3, ID4X, 8), ctrl)
    # 6, 7: a write, answered
    req = write_request(300, 2, b"\xab\xcd")
    expect(ask(req) == req[:11], "write answer unexpected")
    s.close()


def run_tshark(tshark, args):
    r = subprocess.run([tshark] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    err = "\n".join(l for l in r.stderr.splitlines() if "Running as user" not in l)
    if r.returncode != 0 or "Lua" in err or "rror" in err:
        raise Failure("tshark %s failed (%d):\n%s" % (" ".join(args), r.returncode, err))
    return r.stdout


FIELDS = ["frame.number", "veskor.kind", "veskor.sequence", "veskor.area_code", "veskor.area_name",
          "veskor.device_id", "veskor.address", "veskor.length", "veskor.data", "veskor.payload_length",
          "veskor.request_in", "_ws.col.Info"]

# One row per frame, in FIELDS order.
EXPECTED = [
    ["1", "Read request", "1", "0x30008200", "ID4x", "7", "", "", "", "", "",
     "Read request seq=1 area=ID4x dev=7"],
    ["2", "Read answer", "", "0x30008200", "ID4x", "7", "", "", "", "1024", "1",
     "Read answer 1024 bytes"],
    ["3", "Write request", "", "", "", "", "300", "2", "abcd", "", "",
     "Write request addr=300 len=2"],
    ["4", "Write answer", "", "", "", "", "", "", "", "", "3", "Write answer"],
    ["5", "Read request", "2", "0x12345678", "", "7", "", "", "", "", "",
     "Read request seq=2 area=0x12345678 dev=7"],
    ["6", "Error answer", "", "0x12345678", "", "", "", "", "", "", "5",
     "Error answer (byte 0 = 0x45, 16 bytes)"],
    ["7", "Read request", "3", "0x30008200", "ID4x", "", "", "", "", "", "",
     "Read request seq=3 area=ID4x [15 bytes, expected 16]"],
    ["8", "Read request", "48879", "0xe4008200", "ID23x", "16909060", "", "", "", "", "",
     "Read request seq=48879 area=ID23x dev=16909060"],
    ["9", "Read answer", "", "0xe4008200", "ID23x", "16909060", "", "", "", "1024", "8",
     "Read answer 1024 bytes"],
    ["10", "Write request", "", "", "", "", "658188", "66051", "0102", "", "",
     "Write request addr=658188 len=66051 [only 2 data bytes]"],
    ["11", "Write answer", "", "", "", "", "", "", "", "", "10", "Write answer"],
    ["12", "Write request", "", "", "", "", "16", "1", "55", "", "",
     "Write request addr=16 len=1 [2 extra bytes]"],
    ["13", "Write answer", "", "", "", "", "", "", "", "", "12", "Write answer"],
]

# Expert infos expected per frame on two passes (abbreviations); other frames have none.
EXPECTED_EXPERTS = {
    5: ["veskor.unknown_area"],
    6: ["veskor.error_answer"],
    7: ["veskor.bad_size", "veskor.no_answer"],
    10: ["veskor.length_exceeds_data"],
    12: ["veskor.extra_data"],
}


# Two passes: request frame -> its answer's frame ("" none).
EXPECTED_LINKS = {"1": "2", "3": "4", "5": "6", "7": "", "8": "9", "10": "11", "12": "13"}

# The capture of session_answer_port: 7 frames, the answers 3, 4 and 7 from the
# answer port (taken by the heuristic), 3 answering 1 by its sequence.
EXPECTED_ANSWER_PORT_EXPERTS = {5: ["veskor.no_answer"]}
EXPECTED_ANSWER_PORT_LINKS = {"1": "3", "2": "4", "5": "", "6": "7"}


def check_fields(out, label):
    rows = [line.split("\t") for line in out.splitlines()]
    problems = []
    if len(rows) != len(EXPECTED):
        problems.append("%d frames decoded, expected %d" % (len(rows), len(EXPECTED)))
    for got, want in zip(rows, EXPECTED):
        for name, g, w in zip(FIELDS, got, want):
            if g != w:
                problems.append("frame %s %s: got %r, expected %r" % (want[0], name, g, w))
    if problems:
        raise Failure("%s:\n  %s\n--- tshark output ---\n%s" % (label, "\n  ".join(problems), out))


def pdml_frames(out):
    """frame number -> ({field name: [show values]} of the veskor layer, [expert abbreviations])."""
    frames = {}
    for packet in ET.fromstring(out).iter("packet"):
        number = None
        fields = {}
        experts = []
        for proto in packet.findall("proto"):
            if proto.get("name") == "frame":
                number = int(next(f.get("show") for f in proto.iter("field") if f.get("name") == "frame.number"))
            if proto.get("name") == "veskor":
                for fl in proto.iter("field"):
                    if fl.get("name") == "_ws.expert":
                        experts += [c.get("name") for c in fl.findall("field")
                                    if not c.get("name").startswith("_ws.")]
                    else:
                        fields.setdefault(fl.get("name"), []).append(fl.get("show") or "")
        frames[number] = (fields, sorted(experts))
    return frames


def check_experts(frames, count, expected):
    expect(sorted(frames) == list(range(1, count + 1)), "PDML frames %s" % sorted(frames))
    return ["frame %d experts %s, expected %s" % (n, experts, expected.get(n, []))
            for n, (_, experts) in frames.items() if experts != sorted(expected.get(n, []))]


def check_links(tshark, pcap, decode, want):
    out = run_tshark(tshark, ["-2", "-r", pcap] + decode +
                     ["-T", "fields", "-e", "frame.number", "-e", "veskor.response_in"])
    links = dict(line.split("\t") for line in out.splitlines())
    got = {k: links.get(k) for k in want}
    expect(got == want, "answer links %s, expected %s" % (got, want))


def check_pdml(out):
    frames = pdml_frames(out)
    problems = check_experts(frames, len(EXPECTED), EXPECTED_EXPERTS)
    # The read answers carry the area bytes: ID4x was seeded with 34 12 at address 0,
    # the first write put ab cd at address 300 of every area.
    for n, offset, want in ((2, 0, "3412"), (9, 300, "abcd")):
        payload = frames[n][0].get("veskor.payload", [""])[0].replace(":", "")
        expect(len(payload) == 2 * AREA_SIZE, "frame %d payload is %d hex digits" % (n, len(payload)))
        got = payload[2 * offset:2 * offset + 4]
        if got != want:
            problems.append("frame %d payload at address %d: %s, expected %s" % (n, offset, got, want))
    # Raw bytes of the 24-bit fields, as sent (bits 16..23, 0..7, 8..15).
    fields10 = frames[10][0]
    raw = fields10.get("veskor.address_raw", []) + fields10.get("veskor.length_raw", [])
    raw = [r.replace(":", "").replace(" ", "") for r in raw]
    if raw != ["0a0c0b", "010302"]:
        problems.append("frame 10 raw address/length bytes %s, expected ['0a0c0b', '010302']" % raw)
    if problems:
        raise Failure("PDML:\n  " + "\n  ".join(problems))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sim", required=True, help="path of veskor-sim")
    ap.add_argument("--lua", required=True, help="path of veskor.lua")
    ap.add_argument("--tshark", default="tshark")
    ap.add_argument("--emulator", default="",
                    help="command that runs veskor-sim, comma-separated (cross builds)")
    ap.add_argument("--keep", help="copy the capture to this file")
    args = ap.parse_args()

    tshark = shutil.which(args.tshark)
    if not tshark:
        print("tshark not installed: apt-get install tshark")
        return SKIP
    for path in (args.sim, args.lua):
        if not os.path.exists(path):
            print("FAIL: %s does not exist" % path)
            return 1

    emulator = [w for w in args.emulator.split(",") if w]

    def capture(pcap, sim_args, run, answer_port=None):
        proc, port = start_sim(args.sim, pcap, sim_args, emulator)
        try:
            run(port, answer_port)
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.communicate()
                raise Failure("veskor-sim did not stop on SIGTERM")
        expect(proc.returncode == 0, "veskor-sim exited with %d" % proc.returncode)
        return port

    with tempfile.TemporaryDirectory(prefix="veskor-ws-") as tmp:
        pcap = os.path.join(tmp, "session.pcap")
        try:
            port = capture(pcap, ["--ignore-device", "--set", "ID4x:0:3412"], session)
            if args.keep:
                shutil.copyfile(pcap, args.keep)

            lua = ["-X", "lua_script:" + os.path.abspath(args.lua)]
            field_args = ["-T", "fields", "-E", "occurrence=f"]
            for name in FIELDS:
                field_args += ["-e", name]
            # Decode As on the simulator's port, which is not the preference's default.
            expect(port != 50200, "simulator picked port 50200; the Decode As check needs another")
            decode_as = ["-d", "udp.port==%d,veskor" % port]
            print("tshark -r %s %s %s %s" % (pcap, " ".join(lua), " ".join(decode_as), " ".join(field_args)))
            out = run_tshark(tshark, ["-r", pcap] + lua + decode_as + field_args)
            print(out, end="")
            check_fields(out, "Decode As")
            # The same through the port preference.
            out = run_tshark(tshark, ["-r", pcap] + lua + ["-o", "veskor.port:%d" % port] + field_args)
            check_fields(out, "port preference")
            # Without either the datagrams are not ours.
            out = run_tshark(tshark, ["-r", pcap] + lua + ["-T", "fields", "-e", "veskor.kind"])
            expect(out.strip("\n\t ") == "", "decoded without being told the port:\n" + out)

            # Expert infos (two passes: unanswered requests), payload bytes and raw
            # 24-bit fields from the full tree.
            check_pdml(run_tshark(tshark, ["-2", "-r", pcap] + lua + decode_as + ["-T", "pdml"]))
            # Two passes: requests link their answers.
            check_links(tshark, pcap, lua + decode_as, EXPECTED_LINKS)

            # Answers from another port, late, one read unanswered.
            pcap = os.path.join(tmp, "answer-port.pcap")
            answer_port = free_port()
            port = capture(pcap, ["--device", "7", "--set", "ID4x:0:3412", "--answer-port", str(answer_port),
                                  "--fault", "delay=1", "--delay-ms", "100"],
                           session_answer_port, answer_port)
            decode_as = ["-d", "udp.port==%d,veskor" % port]
            frames = pdml_frames(run_tshark(tshark, ["-2", "-r", pcap] + lua + decode_as + ["-T", "pdml"]))
            problems = check_experts(frames, 7, EXPECTED_ANSWER_PORT_EXPERTS)
            expect(not problems, "answers from another port, PDML:\n  " + "\n  ".join(problems))
            check_links(tshark, pcap, lua + decode_as, EXPECTED_ANSWER_PORT_LINKS)
        except Failure as e:
            print("FAIL: %s" % e)
            return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
