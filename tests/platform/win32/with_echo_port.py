#!/usr/bin/env python3
"""Runs a Windows test program under Wine with a COM port whose far end echoes.

Makes a pseudo-terminal, links it into the Wine prefix as dosdevices/com<N> (Wine opens
"\\\\.\\COM<N>" through that link), echoes every byte that arrives back to the port, and closes
its end (a hang-up, as an unplugged adapter) once the port sends HANGUP_MARKER. The program
learns the port number from CADDIS_TEST_COM.

    with_echo_port.py --com 42 -- wine Win32SerialTest.exe
"""
import argparse
import os
import select
import subprocess
import sys
import threading
import tty

HANGUP_MARKER = b"\x00caddis-hang-up\x00"


def echo(master, stop_read):
    """Echoes until the marker has passed or the program has ended."""
    seen = b""
    while True:
        ready, _, _ = select.select([master, stop_read], [], [])
        if stop_read in ready:
            break
        try:
            data = os.read(master, 4096)
        except OSError:  # nobody has the port open at the moment
            select.select([stop_read], [], [], 0.01)
            continue
        seen = (seen + data)[-len(HANGUP_MARKER):]
        if seen == HANGUP_MARKER:
            break
        while data:
            data = data[os.write(master, data):]
    os.close(master)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--com", type=int, required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command

    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    link = os.path.join(prefix, "dosdevices", "com%d" % args.com)
    master, slave = os.openpty()
    # Raw from the start: no echo or line editing by the terminal itself.
    tty.setraw(slave)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)

    stop_read, stop_write = os.pipe()
    echoer = threading.Thread(target=echo, args=(master, stop_read))
    echoer.start()
    try:
        env = dict(os.environ, CADDIS_TEST_COM=str(args.com))
        code = subprocess.call(command, env=env)
    finally:
        os.write(stop_write, b"x")
        echoer.join()
        os.unlink(link)
        os.close(slave)
    sys.exit(code)


if __name__ == "__main__":
    main()
