#!/usr/bin/env python3
"""The soak run of bench/soak.py, short: 100 readers for 20 seconds doing
GROUP, XOVER, ARTICLE and POST while fetches (from INN on 127.0.0.1:11119
when it is there) and expire runs go on. Passes when no reader hung or
failed, the server quit cleanly without a sanitizer report and the store
is consistent. The long run is bench/soak.py with its defaults.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_support as hs  # noqa: E402
import soak  # noqa: E402


def inn_port():
    return 11119 if hs.inn_reachable("127.0.0.1", 11119) else 0


def main():
    if not os.path.exists(hs.binary()):
        print("no server binary at %s (set QV_BINARY)" % hs.binary(), file=sys.stderr)
        return 2
    return soak.main(["--binary", hs.binary(), "--readers", "100", "--seconds", "20",
                      "--inn-port", str(inn_port()), "--getpost-every", "8", "--expire-every", "10"])


if __name__ == "__main__":
    sys.exit(main())
