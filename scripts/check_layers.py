#!/usr/bin/env python3
"""Fails when a source file of the library includes a header of a layer above its own.

The layers, from the bottom: src/common; src/diag (counters, capture, log helpers); the transports
(src/transport) and, beside them, the arm link (src/arm), which never include each other; the
engine (src/protocol); the service (src/service), which alone implements the exported headers
(include/kestal). The engine knows the transports only by their interface
(transport/HostCommTransport.h). asio is the network transport's own: only its .cpp files include it.
Run from anywhere: check_layers.py [repository root]."""
import pathlib
import re
import sys

RANK = {"common": 0, "diag": 1, "transport": 2, "arm": 2, "protocol": 3, "service": 4}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def layer_of(path):
    """The layer a quoted include or a file under src/ names, or None."""
    top = path.split("/", 1)[0]
    if top == "kestal":
        return "exported"
    return top if top in RANK else None


def faults(root):
    for source in sorted((root / "src").rglob("*")):
        if source.suffix not in (".h", ".cpp", ".c"):
            continue
        own = source.relative_to(root / "src").parts[0]
        if own not in RANK:
            continue
        name = source.relative_to(root)
        for bracket, target in INCLUDE.findall(source.read_text(errors="replace")):
            if bracket == "<":
                if target.startswith("asio") and not (
                        str(name).startswith("src/transport/network/") and source.suffix == ".cpp"):
                    yield f"{name}: includes <{target}> (asio belongs to the network transport's .cpp files)"
                continue
            other = layer_of(target)
            if other is None or other == own:
                continue
            if own == "protocol" and other == "transport" and target != "transport/HostCommTransport.h":
                yield f'{name}: includes "{target}" (the engine knows a transport by its interface only)'
            elif other == "exported":
                if own != "service":
                    yield f'{name}: includes "{target}" (only the service implements the exported headers)'
            elif RANK[other] > RANK[own] or (RANK[other] == RANK[own]):
                yield f'{name}: includes "{target}" ({own} may not look at {other})'


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    found = list(faults(root.resolve()))
    for fault in found:
        print(fault)
    print(f"{len(found)} include(s) across the layers" if found else "every include looks down")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
