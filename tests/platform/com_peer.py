#!/usr/bin/env python3
"""The far end of a serial line for the COM port test under Wine.

Opens a pseudo-terminal, links LINK (a $WINEPREFIX/dosdevices/comN) to its
raw slave and answers every chunk it reads with "re:" + the chunk. Ends
when it reads "bye" or when nothing comes for a minute; removes the link.
"""
import os
import pty
import select
import sys
import tty

link = sys.argv[1]
master, slave = pty.openpty()
tty.setraw(slave)
if os.path.lexists(link):
    os.remove(link)
os.symlink(os.ttyname(slave), link)
print("ready", flush=True)
try:
    while True:
        ready, _, _ = select.select([master], [], [], 60)
        if not ready:
            break
        data = os.read(master, 4096)
        if not data or b"bye" in data:
            break
        os.write(master, b"re:" + data)
finally:
    os.remove(link)
