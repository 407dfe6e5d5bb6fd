"""python3 -m velkorlink layout|exports: the binding's record layout or its bound symbols."""

import ctypes
import sys

from . import EXPORTS, LIBRARY_PATH, RECORDS


def layout() -> None:
    for record in RECORDS:
        print(f"{record.__name__} size {ctypes.sizeof(record)}")
        for name, *_ in record._fields_:
            print(f"{record.__name__}.{name} {getattr(record, name).offset}")


def main(argv: list[str]) -> int:
    if argv == ["layout"]:
        layout()
    elif argv == ["exports"]:
        print("\n".join(EXPORTS))
    elif argv == ["library"]:
        print(LIBRARY_PATH)
    else:
        print("usage: python3 -m velkorlink layout|exports|library", file=sys.stderr)
        return 2
    return 0


sys.exit(main(sys.argv[1:]))
