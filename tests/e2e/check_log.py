#!/usr/bin/env python3
"""Checks one J2534 or D-PDU monitor log: it parses in its format and holds the calls.

    check_log.py FORMAT FILE FUNCTION... [--bytes "57 4F 56"] [--decoded TEXT]...

FORMAT is 1 (ASCII), 2 (XML), 3 (CSV) or 4 (HTML). Each FUNCTION must be
logged at least once, the --bytes text (a data dump) must appear, and each
--decoded text must be in the decoded conversation (XML's <decoded>
elements, CSV's "Decoded" column, HTML's last column, ASCII's ">>" lines). Prints
what is wrong and exits 1; exits 0 when the log is sound.
"""
import csv
import html.parser
import io
import sys
import xml.dom.minidom

# Words that name a logged function: the J2534 and the D-PDU monitors' entries.
FUNCTION_PREFIXES = ("PassThru", "PDU", "EventCallback")


def functions_ascii(text):
    if any(ord(c) > 126 or (ord(c) < 32 and c not in "\r\n\t") for c in text):
        raise ValueError("characters outside printable ASCII")
    functions = {word for line in text.splitlines() for word in line.split() if word.startswith(FUNCTION_PREFIXES)}
    decoded = [line.strip()[3:] for line in text.splitlines() if line.startswith("    >> ")]
    return text, functions, decoded


def functions_xml(text):
    document = xml.dom.minidom.parseString(text.encode("utf-8"))
    found = set()
    for entry in document.getElementsByTagName("entry"):
        found.add(entry.getAttribute("function"))
    all_text = " ".join(node.data for node in _text_nodes(document))
    decoded = [" ".join(node.data for node in _text_nodes(d)) for d in document.getElementsByTagName("decoded")]
    return all_text, found, decoded


def _text_nodes(node):
    for child in node.childNodes:
        if child.nodeType == child.TEXT_NODE:
            yield child
        else:
            yield from _text_nodes(child)


def functions_csv(text):
    rows = list(csv.reader(io.StringIO(text, newline="")))
    if len(rows) < 2:
        raise ValueError("no rows below the header")
    header = rows[0]
    if any(len(row) != len(header) for row in rows):
        raise ValueError("rows with another number of columns than the header's %d" % len(header))
    headers = [h for h in rows if h == header]
    if len(headers) != 1:
        raise ValueError("%d header rows" % len(headers))
    names = [h.lower() for h in header]
    column = names.index("function")
    if names[:9] != ["time", "elapsed (us)", "process", "thread", "function", "phase", "arguments",
                     "result", "duration (us)"]:
        raise ValueError("the first nine columns are not the classic ones: %s" % header[:9])
    decoded = [row[names.index("decoded")] for row in rows[1:]] if "decoded" in names else []
    return text, {row[column] for row in rows[1:]}, decoded


class _Html(html.parser.HTMLParser):
    VOID = {"meta", "br", "hr", "img", "link", "input", "col"}

    def __init__(self):
        super().__init__()
        self.open = []
        self.text = []
        self.tables = 0
        self.decoded = []
        self.in_decoded = False

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.tables += 1
        if tag == "td" and ("class", "dec") in attrs:
            self.in_decoded = True
            self.decoded.append("")
        if tag not in self.VOID:
            self.open.append(tag)

    def handle_endtag(self, tag):
        if not self.open or self.open[-1] != tag:
            raise ValueError("</%s> closes <%s>" % (tag, self.open[-1] if self.open else "nothing"))
        self.open.pop()
        if tag == "td":
            self.in_decoded = False

    def handle_data(self, data):
        self.text.append(data)
        if self.in_decoded:
            self.decoded[-1] += data


def functions_html(text):
    parser = _Html()
    parser.feed(text)
    parser.close()
    if parser.open:
        raise ValueError("unclosed elements: %s" % ", ".join(parser.open))
    if parser.tables < 1:
        raise ValueError("no table")
    all_text = " ".join(parser.text)
    return all_text, {word.strip() for word in all_text.split() if word.startswith(FUNCTION_PREFIXES)}, parser.decoded


def main(argv):
    args = argv[1:]
    wanted_bytes = None
    if "--bytes" in args:
        at = args.index("--bytes")
        wanted_bytes = args[at + 1]
        del args[at:at + 2]
    wanted_decoded = []
    while "--decoded" in args:
        at = args.index("--decoded")
        wanted_decoded.append(args[at + 1])
        del args[at:at + 2]
    fmt, path, functions = args[0], args[1], args[2:]
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")
    parse = {"1": functions_ascii, "2": functions_xml, "3": functions_csv, "4": functions_html}[fmt]
    try:
        all_text, found, decoded = parse(text)
    except Exception as error:  # the parser's own message says what is wrong
        print("%s: does not parse: %s" % (path, error))
        return 1
    missing = [name for name in functions if name not in found]
    if missing:
        print("%s: no entry for %s" % (path, ", ".join(missing)))
        return 1
    if wanted_bytes and wanted_bytes not in all_text:
        print("%s: the data bytes %s are not logged" % (path, wanted_bytes))
        return 1
    for wanted in wanted_decoded:
        if not any(wanted in line for line in decoded):
            print("%s: no decoded text holds %s (decoded: %s)" % (path, wanted, " | ".join(decoded)[:400]))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
