#!/usr/bin/env python3
"""Using wirekit from Python through ctypes and its C interface.

    python3 examples/python/wirekit_ctypes.py [--library PATH] [RECEIVER_PORT SENDER_PORT]

Probes the library, round-trips a text through Des_Go and Compress, and sends
one reliable UDP message between two endpoints on loopback. The two UDP ports
default to free ones the system picks; give both to use fixed ports (each
endpoint binds its own, and acknowledgements go to the sender's). The library
is build/libwirekit.so (wirekit.dll on Windows) unless --library names it.
"""
import argparse
import ctypes
import os
import socket
import sys
import threading


def free_udp_port():
    """A UDP port nobody holds right now, as the system picks it."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


here = os.path.dirname(os.path.abspath(__file__))
default_library = os.path.join(here, "..", "..", "build",
                               "wirekit.dll" if os.name == "nt" else "libwirekit.so")
parser = argparse.ArgumentParser(description="wirekit from Python through ctypes")
parser.add_argument("--library", default=default_library, help="path of the shared library")
parser.add_argument("ports", nargs="*", type=int, metavar="PORT",
                    help="RECEIVER_PORT SENDER_PORT (default: free ports)")
args = parser.parse_args()
if len(args.ports) not in (0, 2) or any(not 1 <= p <= 65535 for p in args.ports):
    parser.error("give two ports from 1 to 65535 (RECEIVER_PORT SENDER_PORT), or none")
lib = ctypes.CDLL(args.library)

EventCallback = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int)
lib.hello.restype = ctypes.c_char_p
lib.Init_Udp.restype = ctypes.c_void_p
lib.Init_Udp.argtypes = [ctypes.c_int, EventCallback, ctypes.c_ubyte, ctypes.c_ubyte, ctypes.c_int]
for name in ("Close_Udp", "ListenMessage_Udp"):
    getattr(lib, name).argtypes = [ctypes.c_void_p]
lib.SendMessage_Udp.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
lib.GetMessage_Udp.restype = ctypes.c_long
lib.GetMessage_Udp.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
lib.Des_Go.restype = ctypes.c_bool
lib.Des_Go.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_bool]
lib.Compress.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint), ctypes.c_char_p, ctypes.c_uint]
lib.Uncompress.argtypes = lib.Compress.argtypes
lib.CompressBound.restype = ctypes.c_uint
lib.CompressBound.argtypes = [ctypes.c_uint]

print("hello ->", lib.hello().decode())

# DES works on whole 8-byte blocks; pad the text to a multiple of 8.
text = b"wirekit from python"
padded = text + b"\0" * (-len(text) % 8)
secret = ctypes.create_string_buffer(len(padded))
plain = ctypes.create_string_buffer(len(padded))
key = b"sixteen byte key"  # 9..16 bytes select triple DES
assert lib.Des_Go(secret, padded, len(padded), key, len(key), False)
assert lib.Des_Go(plain, secret.raw, len(padded), key, len(key), True)
assert plain.raw[: len(text)] == text
print("Des_Go round trip ok")

data = b"abc" * 1000
capacity = ctypes.c_uint(lib.CompressBound(len(data)))
packed = ctypes.create_string_buffer(capacity.value)
assert lib.Compress(packed, ctypes.byref(capacity), data, len(data)) == 0
size = ctypes.c_uint(len(data))
unpacked = ctypes.create_string_buffer(len(data))
assert lib.Uncompress(unpacked, ctypes.byref(size), packed.raw[: capacity.value], capacity.value) == 0
assert unpacked.raw == data
print(f"Compress {len(data)} -> {capacity.value} bytes, round trip ok")

# Reliable UDP: the receiver's callback fetches the message it announces.
received = threading.Event()
state = {}

def on_receiver_event(code, param):
    if code == 1001:  # UDP_EV_MSG_RECEIVED: param is the size GetMessage_Udp needs
        buf = ctypes.create_string_buffer(param)
        n = lib.GetMessage_Udp(state["receiver"], buf, param)
        state["text"] = buf.raw[:param].decode()
        state["payload"] = n
        received.set()

receiver_cb = EventCallback(on_receiver_event)  # keep a reference while in use
sender_cb = EventCallback(lambda code, param: None)
if args.ports:
    port_a, port_b = args.ports
else:
    port_a = port_b = free_udp_port()
    while port_b == port_a:
        port_b = free_udp_port()
state["receiver"] = lib.Init_Udp(port_a, receiver_cb, 55, 77, 0)
sender = lib.Init_Udp(port_b, sender_cb, 55, 77, 0)
lib.ListenMessage_Udp(state["receiver"])
lib.ListenMessage_Udp(sender)
lib.SendMessage_Udp(sender, b"127.0.0.1", port_a, b"ping", 4)
ok = received.wait(10)
lib.Close_Udp(sender)
lib.Close_Udp(state["receiver"])
if not ok:
    sys.exit(f"no UDP message arrived on port {port_a}; is another program using it?")
print(f"UDP message on port {port_a}:", state["text"], f"({state['payload']} payload bytes)")
