#!/usr/bin/env python3
"""Prints each text as a C++ literal of its GBK bytes, with the text as a
trailing comment, the way GBK literals are written in the code:

    scripts/gbk-literal.py 导出 "按钮开始1"
    "\\xB5\\xBC\\xB3\\xF6"  // 导出
    "\\xB0\\xB4\\xC5\\xA5\\xBF\\xAA\\xCA\\xBC" "1"  // 按钮开始1

Bytes above 0x7F and control bytes become \\xHH escapes; where an escape would be
followed by a hex digit the literal is split, so the digit is not read as part
of the escape. A character GBK lacks is refused (exit 1).
"""

import sys

HEX_DIGITS = b"0123456789abcdefABCDEF"


def literal(text):
    data = text.encode("gbk")
    pieces, current, after_escape = [], "", False
    for byte in data:
        if after_escape and byte in HEX_DIGITS:
            pieces.append(current)
            current = ""
        if byte >= 0x80 or byte < 0x20 or byte == 0x7F:
            current += f"\\x{byte:02X}"
            after_escape = True
            continue
        current += "\\" + chr(byte) if chr(byte) in '"\\' else chr(byte)
        after_escape = False
    pieces.append(current)
    return " ".join(f'"{piece}"' for piece in pieces)


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    for text in sys.argv[1:]:
        try:
            print(f"{literal(text)}  // {text}")
        except UnicodeEncodeError as error:
            print(f"gbk-literal: {text!r} holds {text[error.start:error.end]!r}, which GBK "
                  "lacks", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
