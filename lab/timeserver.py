#!/usr/bin/env python3
"""An RFC 868 server for what openbsd-inetd does not do: timeserver.py ADDRESS MODE, MODE silent
(accepts, says nothing for a minute) or anchored (the true time, kept on the monotonic clock from
the start, whatever the wall clock does, sent 0.3 s after the connection, as from afar: time
enough to stop a client before it comes). Says "ready WALL MONOTONIC" once it listens, also at an
address not yet on any device."""
import socket
import struct
import sys
import threading
import time

ANCHOR = (time.time(), time.monotonic())


def serve(conn, mode):
    with conn:
        if mode == "anchored":
            time.sleep(0.3)
            seconds = int(ANCHOR[0] + time.monotonic() - ANCHOR[1]) + 2208988800
            conn.sendall(struct.pack(">I", seconds & 0xFFFFFFFF))
        else:
            time.sleep(60)


def main():
    address, mode = sys.argv[1:3]
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.setsockopt(socket.SOL_IP, 15, 1)  # IP_FREEBIND: the address may come later
    listener.bind((address, 37))
    listener.listen()
    print("ready", *ANCHOR, flush=True)
    while True:
        threading.Thread(target=serve, args=(listener.accept()[0], mode), daemon=True).start()


if __name__ == "__main__":
    main()
