#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/: a handful of small valid and edge inputs per
target, in each target's input layout (see the comment at the top of each *_fuzz.cpp).
Run from anywhere; existing seeds of the same names are replaced."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(here, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def leb(n):
    out = bytearray()
    while n > 0x7F:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def s(text):
    b = text.encode() if isinstance(text, str) else text
    return leb(len(b)) + b


u8 = lambda v: struct.pack("<B", v)
u16 = lambda v: struct.pack("<H", v)
u32 = lambda v: struct.pack("<I", v)
u64 = lambda v: struct.pack("<Q", v)

# Message bodies.
hello = u32(1) + s("sensor") + u32(7) + s("dmz-1")
setup = (u32(60) + u32(1) + s("eth0") + s("10.0.0.0/8") + s("snort.conf") + s("sid-msg.map")
         + s("gen-msg.map") + s("/var/log/snort") + s("snort.log") + u32(1700000000) + u32(24))
action = u8(1)
get_value = leb(2) + s("home") + s("rules")
set_value = leb(2) + s("home") + s("10.0.0.0/8") + s("rules") + s("")
upload = s("rules/local.rules") + u32(0) + u32(11)
answer = u8(1) + s("failed")
answer_hello = u8(0) + s("") + u32(1) + s("Linux x86_64\0")
answer_get = u8(0) + s("") + leb(1) + s("home") + s("any")

event4 = (u32(7) + u32(42) + u64(1700000000123456) + u32(2000001) + u32(1) + u32(3) + u32(2)
          + s("POLICY") + s("test rule") + u32(1) + bytes(range(6)) + bytes(range(6, 12))
          + u8(1) + bytes([10, 0, 0, 1]) + bytes([10, 0, 0, 2]) + u8(6) + u16(1234) + u16(80)
          + u8(0) + u8(0) + u32(0) + u16(5) + u32(1) + u32(1700000000) + u32(128))
event6 = (u32(7) + u32(43) + u64(1) + u32(1) + u32(1) + u32(1) + u32(0) + s("") + s("")
          + u32(0) + bytes(6) + bytes(6) + u8(2) + bytes(range(16)) + bytes(range(16, 32))
          + u8(47) + u8(0) + u8(1) + u32(0) + u16(0) + u32(1) + u32(0) + u32(0))
packet = u32(7) + u32(42) + u32(1700000000) + u64(1700000000123456) + s(bytes(60)) + u32(1) + u32(2)
stats = (u32(7) + u64(1700000000000000) + s("running") + u16(1250) + u64(1 << 30) + u16(5000)
         + u64(1 << 40) + u16(100) + u64(1) + u64(2) + u64(3) + u64(4) + u32(3600))

# serializer: n, n operations, body
ops = bytes([0, 1, 2, 3, 4, 5, 6 | (3 << 3), 7])
body = u8(1) + u16(2) + u32(3) + u64(4) + s("abc") + s(b"\x00\x01") + b"xyz" + leb(300)
put("serializer", "all_ops", bytes([len(ops)]) + ops + body)
put("serializer", "short", bytes([3, 2, 4, 7]) + b"\x01\x02")
put("serializer", "padded_count", bytes([2, 7, 4]) + b"\x85\x80\x80\x80\x80\x00" + s("x"))
put("serializer", "empty", bytes([0]))

# commands: class byte, body
for i, b in enumerate([hello, setup, action, get_value, set_value, upload, answer, answer_hello,
                       answer_get]):
    put("commands", "class%d" % i, bytes([i]) + b)
put("commands", "hello_cut", bytes([0]) + hello[:9])
put("commands", "huge_count", bytes([3]) + b"\xff\xff\xff\xff\x07")
put("commands", "top_bit_count", bytes([4]) + b"\x80\x80\x80\x80\x08")

# sensor_messages: class byte, body
put("sensor_messages", "event4", bytes([0]) + event4)
put("sensor_messages", "event6", bytes([0]) + event6)
put("sensor_messages", "packet", bytes([1]) + packet)
put("sensor_messages", "stats", bytes([2]) + stats)
put("sensor_messages", "event_cut", bytes([0]) + event4[:40])


def frame(mid, b):
    return u16(mid) + u16(len(b)) + b


# proto: mode byte, stream
session = (frame(1, hello) + frame(2, setup) + frame(3, action) + frame(4, get_value)
           + frame(5, set_value) + frame(6, upload) + b"hello world" + frame(99, b"junk"))
put("proto", "session_run", b"\x00" + session)
put("proto", "session_poll_log", b"\x03" + session)
put("proto", "oversized_body", b"\x00" + u16(4) + u16(10300) + get_value + bytes(10300 - len(get_value))
    + frame(3, action))
put("proto", "cut_header", b"\x00" + frame(3, action) + b"\x01\x00")
put("proto", "cut_upload", b"\x00" + frame(6, upload) + b"hel")
put("proto", "bad_body", b"\x02" + frame(1, hello[:5]))
put("proto", "empty_upload", b"\x00" + frame(6, s("x") + u32(0) + u32(0)) + frame(3, action))


def rec(rtype, b):
    return struct.pack(">II", rtype, len(b)) + b


def ev4(eid, sec):
    return (struct.pack(">IIIIIIIIII", 0, eid, sec, 5, 2000001, 1, 3, 2, 1, 0x0A000001)
            + struct.pack(">I", 0x0A000002) + struct.pack(">HHBBBB", 1234, 80, 6, 0, 0, 0)
            + struct.pack(">IHH", 0, 5, 0))


def ev6(eid, sec):
    return (struct.pack(">IIIIIIIII", 0, eid, sec, 5, 1, 1, 1, 0, 1) + bytes(range(16))
            + bytes(range(16, 32)) + struct.pack(">HHBBBB", 53, 53, 17, 0, 0, 0)
            + struct.pack(">IHH", 0, 0, 0))


eth_ip_tcp = (bytes(range(12)) + b"\x08\x00" + bytes([0x45, 0, 0, 40]) + bytes(5) + b"\x06"
              + bytes(2) + bytes([10, 0, 0, 1, 10, 0, 0, 2]) + struct.pack(">HHIIBBHHH", 1234, 80,
                                                                              1, 2, 0x50, 0x12, 0, 0, 0))
eth_ip6_udp = (bytes(12) + b"\x86\xdd" + bytes([0x60, 0, 0, 0]) + struct.pack(">HBB", 8, 17, 64)
               + bytes(range(32)) + struct.pack(">HHHH", 53, 53, 8, 0))


def pkt(eid, sec, data):
    return rec(2, struct.pack(">IIIIIII", 0, eid, sec, sec, 5, 1, len(data)) + data)


def extra(eid, sec, kind, blob):
    return rec(110, struct.pack(">II", 4, 32 + len(blob))
               + struct.pack(">IIIIII", 0, eid, sec, kind, 1, len(blob) + 8) + blob)


spool = (rec(104, ev4(1, 100)) + pkt(1, 100, eth_ip_tcp) + rec(105, ev6(2, 101))
         + pkt(2, 101, eth_ip6_udp) + rec(104, ev4(3, 102)) + extra(3, 102, 9, b"/index.html")
         + pkt(9, 103, eth_ip_tcp) + rec(77, b"unknown") + rec(111, ev4(4, 104) + bytes(64)))
# u2_file: flags, [start], cut points, contents
put("u2_file", "whole", b"\x00" + spool)
put("u2_file", "grown_logged", b"\x07" + u16(30) + u16(100) + u16(200) + spool)
put("u2_file", "positioned", b"\x0a" + u32(len(rec(104, ev4(1, 100))) + 16 + len(eth_ip_tcp) + 28)
    + u16(50) + spool)
put("u2_file", "cut_event", b"\x02" + u16(20) + spool[:40])
put("u2_file", "big_lengths", b"\x00" + rec(2, struct.pack(">IIIIIII", 0, 1, 1, 1, 1, 1, 0xFFFFFFF0))
    + struct.pack(">II", 110, 0xFFFFFFFF))

# snort_msg_map: split byte, sid map, gen map
sid_map = (b"# sid map\n1 || POLICY test rule || url,example.org || cve,2000-0001\n"
           b"2 || DELETED MALWARE old rule\n3||x\nbad || y\n\n")
gen_map = b"# gen map\n1 || 1 || snort general alert\n116 || 1 || decode: bad header\n119 || 2 || http: x\n"
put("snort_msg_map", "both", bytes([255 * len(sid_map) // (len(sid_map) + len(gen_map)) + 1])
    + sid_map + gen_map)
put("snort_msg_map", "gen_format", bytes([0]) + b"116 || 1\n")
put("snort_msg_map", "long_line", bytes([200]) + b"5 || " + b"A" * 9000 + b"\n" + b"1 || 1 || x\n")

# ini_file: piece byte, text
put("ini_file", "good", bytes([3]) + b"home=10.0.0.0/8\nrules=\n= empty name\nhome=any\n")
put("ini_file", "no_newline", bytes([0]) + b"a=b")
put("ini_file", "no_equals", bytes([5]) + b"a=b\n\nc=d\n")
put("ini_file", "long_line", bytes([63]) + b"n=" + b"v" * 1030 + b"\n")
put("ini_file", "nul", bytes([1]) + b"name\x00va\x01ue\n")

# ids_info: text
put("ids_info", "full", b"status: running\nuptime: 3600\ncpu_usage: 12.5\nmem: 1048576\nmem_usage: 33.3\n"
    b"disk: 99999\ndisk_usage: 71\nrx_bytes: 1\nrx_packets: 2\ntx_bytes: 3\ntx_packets: 4\n")
put("ids_info", "odd", b"no colon\nstatus:x\ncpu_usage: 1e39\nmem_usage: -1\nuptime: 99999999999\nlast: cut")
put("ids_info", "long_status", b"status: " + b"s" * 5000 + b"\n")
