#!/usr/bin/env python3
"""A scripted RFC 868 time server for the odd cases a real one never shows.

Usage: timeserver.py ADDRESS MODE
  reply   the four bytes of the present time, then close
  fixed   the four bytes E9 3C 7F 00 (2024-01-01 00:00:00 UTC), then close
  two     only two bytes, then close
  six     six bytes in one send (the time, then two more)
  split   two bytes, a pause of 300 ms, the other two
  silent  accept and say nothing for 30 seconds
  close   accept and close at once, sending nothing
  reset   accept and reset the connection at once (RST), sending nothing
  anchored  the true time, kept on the monotonic clock from the start: setting the wall clock
          afterwards does not change what it serves. Says "ready WALL MONOTONIC" at the start.
"""
import socket
import struct
import sys
import threading
import time

SECONDS_1900_TO_1970 = 2208988800
ANCHOR = (time.time(), time.monotonic())


def now_bytes(seconds=None):
    seconds = time.time() if seconds is None else seconds
    return struct.pack(">I", (int(seconds) + SECONDS_1900_TO_1970) & 0xFFFFFFFF)


def serve(conn, mode):
    with conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if mode == "reply":
            conn.sendall(now_bytes())
        elif mode == "fixed":
            conn.sendall(bytes([0xE9, 0x3C, 0x7F, 0x00]))
        elif mode == "two":
            conn.sendall(now_bytes()[:2])
        elif mode == "six":
            conn.sendall(now_bytes() + b"\x12\x34")
        elif mode == "split":
            data = now_bytes()
            conn.sendall(data[:2])
            time.sleep(0.3)
            conn.sendall(data[2:])
        elif mode == "silent":
            time.sleep(30)
        elif mode == "close":
            pass
        elif mode == "anchored":
            conn.sendall(now_bytes(ANCHOR[0] + time.monotonic() - ANCHOR[1]))
        elif mode == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def main():
    address, mode = sys.argv[1], sys.argv[2]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, 37))
    listener.listen(8)
    print("ready", *ANCHOR, flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, mode), daemon=True).start()


if __name__ == "__main__":
    main()
