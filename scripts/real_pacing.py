#!/usr/bin/env python3
"""Runs one full update with boot-loader replacement through the virtual-recorder
runner with real pacing (every 50 ms pause slept), answering its prompts in a
pseudo-terminal, and prints its wall time against the 169.6 s of mandated pauses.

Usage: real_pacing.py [build/linux/sim/qdp_virtual_updater]
"""
import os
import pty
import select
import sys
import time

MANDATED_PAUSES_S = 2 * 1696 * 0.050  # two programming runs of 1,696 pauses of 50 ms
ANSWERS = [(b"or other key to exit.", b"Y"), (b"confirm load", b"L"),
           (b"upgrade Boot Loader", b"Y"), (b"Press any key to exit.", b" ")]


def main(runner):
    start = time.monotonic()
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(runner, [runner, "--pacing", "real"])
    screen = b""
    answered = 0
    while True:
        ready, _, _ = select.select([fd], [], [], 1.0)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        screen += chunk
        while answered < len(ANSWERS) and ANSWERS[answered][0] in screen.split(b"\n")[-2]:
            os.write(fd, ANSWERS[answered][1])
            answered += 1
    _, status = os.waitpid(pid, 0)
    wall = time.monotonic() - start
    sys.stdout.write(screen.decode(errors="replace"))
    print("\nexit code %d, wall time %.1f s, mandated pauses %.1f s, ratio %.3f"
          % (os.waitstatus_to_exitcode(status), wall, MANDATED_PAUSES_S, wall / MANDATED_PAUSES_S))
    return 0 if answered == len(ANSWERS) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build/linux/sim/qdp_virtual_updater"))
