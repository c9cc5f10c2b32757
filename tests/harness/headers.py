"""Numbers the scripts share with the C++ code, read from its headers.

A control id, a message code or a packet type is defined once, in the header the
launcher is built from; a script that typed it again would go on passing against
a number the launcher no longer uses. So the scripts name them and this module
reads them, when first asked, from the headers of the source tree given with
set_source() (the scripts' --source; by default the tree this file is in).

Understood lines: `#define NAME number`, `NAME = number,` or `NAME,` inside an
enum, and `const`/`constexpr <type> NAME = number;`. A value that is not a plain
number (an expression, a string) is not taken; asking for it, or for a name the
header does not define, is an error that names the header and the name.

    UI = headers.Header("ui/resource.h")
    probe.ask("click %d" % UI.IDC_START)
"""

import os
import re

_source = [os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))]
_headers = []

_DEFINE = re.compile(r"^\s*#\s*define\s+([A-Za-z_]\w*)\s+(\S+)")
_CONST = re.compile(r"^\s*(?:static\s+)?(?:inline\s+)?(?:constexpr|const)\s+[\w:<> ]+?\s+([A-Za-z_]\w*)\s*=\s*([^;]+);")
_ENUM_START = re.compile(r"^\s*enum\b[^{;]*\{(.*)$")
_ENUM_ITEM = re.compile(r"^([A-Za-z_]\w*)\s*(?:=\s*(.+))?$")


class MissingConstant(LookupError):
    """A header does not define a number the scripts ask for."""


def set_source(path):
    """The source tree whose headers are read from now on (parsed ones are read again)."""
    _source[0] = os.path.abspath(path)
    for h in _headers:
        h._values = None


def _number(text):
    text = text.strip().rstrip("uUlL")
    try:
        return int(text, 0)
    except ValueError:
        return None


def _strip_comment(line):
    return line.split("//", 1)[0].split("/*", 1)[0]


def parse(text):
    """{name: number} of the plain numbers the text defines."""
    values = {}
    in_enum = False
    following = 0
    for raw in text.splitlines():
        line = _strip_comment(raw)
        if not in_enum:
            m = _ENUM_START.match(line)
            if m:
                in_enum, following, line = True, 0, m.group(1)
            else:
                m = _DEFINE.match(line) or _CONST.match(line)
                if m and _number(m.group(2)) is not None:
                    values[m.group(1)] = _number(m.group(2))
                continue
        body, closed = line, "}" in line
        if closed:
            body = line.split("}", 1)[0]
        for item in body.split(","):
            m = _ENUM_ITEM.match(item.strip())
            if not m:
                continue
            value = following if m.group(2) is None else _number(m.group(2))
            if value is None:
                continue
            values[m.group(1)] = value
            following = value + 1
        if closed:
            in_enum = False
    return values


class Header:
    """The numbers of one header (a path below the source tree), as attributes."""

    def __init__(self, relative):
        self._relative = relative
        self._values = None
        _headers.append(self)

    def _path(self):
        return os.path.join(_source[0], self._relative)

    def values(self):
        if self._values is None:
            with open(self._path(), encoding="latin-1") as f:
                self._values = parse(f.read())
        return self._values

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        values = self.values()
        if name not in values:
            raise MissingConstant("%s defines no number %s (the scripts need it; was it renamed?)"
                                  % (self._path(), name))
        return values[name]


# The headers the scripts read.
UI = Header("ui/resource.h")
MSG = Header("protocol/qvmsg.h")
DISCOVERY = Header("protocol/discovery.h")
RELAY = Header("remote/relaypacket.h")
