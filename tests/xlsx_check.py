#!/usr/bin/python3
"""Independent reader and fixture maker for the workbook tests.

    xlsx_check.py dump FILE              cells of every sheet as openpyxl reads them (JSON)
    xlsx_check.py entries FILE           archive entries: digest, size, compression, CRC, or why
                                         they cannot be read (JSON); "damaged: NAME" for the
                                         first one that fails its CRC or lacks its data descriptor
    xlsx_check.py part FILE NAME         the text of one archive entry
    xlsx_check.py rows FILE NAME         one worksheet read whole (CRC, XML): its size and rows (JSON)
    xlsx_check.py make KIND FILE         writes a fixture workbook (kinds below)
    xlsx_check.py forge KIND FILE        damages a workbook the layer wrote, in place:
                                         head-final (its sheet's first block marked final),
                                         descriptor (the sheet's sizes behind its data, flag 3),
                                         overlap (a stored part whose data runs through the
                                         sheet's local header)
    xlsx_check.py layout FILE JSON       writes with openpyxl a workbook of the layout
                                         {"sheets": [{"name", "rows"}], "active": index}

Fixture kinds:
    openpyxl     made by openpyxl: sheets "Readings" and "Notes", shared
                 strings, bold and filled header, dates, formulas, a comment,
                 a formatted row without cells
    prefixed     x:-prefixed SpreadsheetML, absolute relationship targets, UTF-8
                 BOM, rows and cells without r, no style sheet, 1904 dates,
                 a calculation chain
    pretty       pretty-printed parts with CRLF line ends, comments and a
                 processing instruction between rows, CDATA, character
                 references, rich-text runs, a cell without r, a worksheet in UTF-16, an empty-element row
    valid        the smallest valid workbook the broken kinds start from
    full         valid, with its last row (1048576) taken
    late-prefixes  valid, with namespace prefixes declared on <sheetData>
                 and <cellXfs> themselves
    no-workbook, workbook-not-xml, missing-sheet-part, rows-out-of-order,
    entity-bomb, no-worksheet, wrong-root, row-out-of-range, bad-cell-ref, noncharacter,
    last-column (valid), past-last-column, row-twice,
    zip-bomb, truncated, truncated-entry, claims-60000-entries,
    sheet-read-18-times: broken in the
                 way the name says
"""

import datetime
import hashlib
import json
import struct
import sys
import zipfile

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG = "http://schemas.openxmlformats.org/package/2006/relationships"
CT = "http://schemas.openxmlformats.org/package/2006/content-types"
T_WS = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"
T_WB = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"
T_ST = "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"
T_SS = "application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"
T_CC = "application/vnd.openxmlformats-officedocument.spreadsheetml.calcChain+xml"
T_RELS = "application/vnd.openxmlformats-package.relationships+xml"
DECL = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'


def dump(path):
    import openpyxl
    wb = openpyxl.load_workbook(path)
    out = {"sheets": wb.sheetnames, "active": wb.active.title, "last_row": {}, "cells": {}}
    for ws in wb.worksheets:
        out["last_row"][ws.title] = max((r for (r, _c) in ws._cells), default=0)
        cells = {}
        for (r, c), cell in sorted(ws._cells.items()):
            if cell.value is None:
                continue
            cells[cell.coordinate] = {
                "type": cell.data_type,
                "value": cell.value.isoformat() if hasattr(cell.value, "isoformat") else cell.value,
                "is_date": cell.is_date,
                "format": cell.number_format,
                "bold": bool(cell.font and cell.font.b),
                "fill": cell.fill.fgColor.rgb if cell.fill and cell.fill.fill_type else None,
                "comment": cell.comment.text if cell.comment else None,
            }
        out["cells"][ws.title] = cells
    print(json.dumps(out))


def entries(path):
    out = {}
    with zipfile.ZipFile(path) as z:
        bad = z.testzip() or streamed(path, z.infolist())
        for info in z.infolist():
            try:
                data = z.read(info.filename)
            except zipfile.BadZipFile as e:
                out[info.filename] = {"error": str(e)}
                continue
            out[info.filename] = {
                "sha256": hashlib.sha256(data).hexdigest(),
                "size": info.file_size,
                "compress_type": info.compress_type,
                "compress_size": info.compress_size,
                "crc": info.CRC,
            }
    if bad:
        out["damaged: " + bad] = {}
    print(json.dumps({"entries": out}))


def streamed(path, infos):
    # What a reader that walks the local headers meets: a data descriptor
    # wherever flag 3 says one follows the data.
    data = open(path, "rb").read()
    for info in infos:
        at = info.header_offset
        flags, = struct.unpack_from("<H", data, at + 6)
        end = at + 30 + sum(struct.unpack_from("<HH", data, at + 26)) + info.compress_size
        end += 4 if data[end:end + 4] == b"PK\x07\x08" else 0
        if flags & 8 and struct.unpack_from("<III", data, end) != (info.CRC, info.compress_size, info.file_size):
            return info.filename
    return None


def forge(kind, path):
    data = bytearray(open(path, "rb").read())
    eocd = data.rindex(b"PK\x05\x06")
    size, cd = struct.unpack_from("<II", data, eocd + 12)
    records, at = [], cd
    while at < cd + size:
        n = 46 + sum(struct.unpack_from("<HHH", data, at + 28))
        records.append(bytearray(data[at:at + n]))
        at += n
    sheet = next(r for r in records if r[46:46 + r[28]] == b"xl/worksheets/sheet1.xml")
    local, = struct.unpack_from("<I", sheet, 42)
    start = local + 30 + sum(struct.unpack_from("<HH", data, local + 26))
    end = start + struct.unpack_from("<I", sheet, 20)[0]
    added = []
    if kind == "head-final":
        data[start] = 1
        insert, at = b"", end
    elif kind == "descriptor":
        for record, flags in ((sheet, 8), (data, local + 6)):
            record[flags] |= 8
        data[local + 14:local + 26] = bytes(12)
        insert, at = b"PK\x07\x08" + sheet[16:28], end
    else:
        name, prefix = b"xl/media/blob.bin", b"kept by another program"
        content = prefix + data[local:start]
        fields = struct.pack("<HHHHHIII", 20, 0, 0, 0, 0x21, zipfile.crc32(content), len(content), len(content))
        insert, at = b"PK\x03\x04" + fields + struct.pack("<HH", len(name), 0) + name + prefix, local
        added = [b"PK\x01\x02\x14\0" + fields + struct.pack("<HHHHHII", len(name), 0, 0, 0, 0, 0, local) + name]
    for record in records:
        offset, = struct.unpack_from("<I", record, 42)
        struct.pack_into("<I", record, 42, offset + (len(insert) if offset >= at else 0))
    directory = b"".join(records + added)
    tail = data[eocd:]
    struct.pack_into("<HHII", tail, 8, len(records + added), len(records + added), len(directory), cd + len(insert))
    open(path, "wb").write(bytes(data[:at] + insert + data[at:cd] + directory + tail))


def part(path, name):
    with zipfile.ZipFile(path) as z:
        sys.stdout.write(z.read(name).decode("utf-8-sig", "replace"))


def rows(path, name):
    # For sheets too large for openpyxl within a test: zipfile checks the
    # CRC, expat the XML.
    import xml.parsers.expat
    with zipfile.ZipFile(path) as z:
        data = z.read(name)
    xml.parsers.expat.ParserCreate().Parse(data, True)
    print(json.dumps({"size": len(data), "rows": data.count(b"<row")}))


def write_zip(path, parts):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in parts:
            z.writestr(name, data.encode("utf-8") if isinstance(data, str) else data)


def make_openpyxl(path):
    import openpyxl
    from openpyxl.comments import Comment
    from openpyxl.styles import Font, PatternFill
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Readings"
    ws.append(["Date", "Time", "UID", "Count"])
    for cell in ws[1]:
        cell.font = Font(bold=True)
        cell.fill = PatternFill("solid", fgColor="FFFFFF00")
    ws.append([datetime.date(2024, 5, 17), "08:15:00.125", "04A12F", 3])
    ws.append([datetime.date(2024, 5, 18), "09:00:01.000", "0411223344", 1])
    ws["E3"] = "=D2*2"
    ws.row_dimensions[6].height = 20.25
    notes = wb.create_sheet("Notes")
    notes["A1"] = "Reader installed in hall 2"
    notes["A1"].comment = Comment("checked on site", "tester")
    notes["B3"] = "=SUM(1,2)"
    notes["C5"] = 42.5
    wb.properties.creator = "rx tests"
    wb.save(path)


def make_layout(path, layout):
    import openpyxl
    layout = json.loads(layout)
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for s in layout["sheets"]:
        ws = wb.create_sheet(s["name"])
        for r in s.get("rows", []):
            ws.append(r)
    wb.active = layout.get("active", 0)
    wb.save(path)


def rels(items):
    body = "".join('<Relationship Id="%s" Type="%s" Target="%s"/>' % i for i in items)
    return '<?xml version="1.0" encoding="UTF-8"?>\n<Relationships xmlns="%s">%s</Relationships>' % (PKG, body)


def make_prefixed(path):
    types = (DECL + '<Types xmlns="%s"><Default Extension="rels" ContentType="%s"/><Default Extension="xml" ContentType="application/xml"/>' % (CT, T_RELS)
             + '<Override PartName="/xl/workbook.xml" ContentType="%s"/>' % T_WB
             + '<Override PartName="/xl/worksheets/tags.xml" ContentType="%s"/>' % T_WS
             + '<Override PartName="/xl/calcChain.xml" ContentType="%s"/></Types>' % T_CC)
    root_rels = rels([("R0", REL + "/officeDocument", "/xl/workbook.xml")])
    wb_rels = rels([("R1a", REL + "/worksheet", "/xl/worksheets/tags.xml"),
                    ("R2b", REL + "/calcChain", "/xl/calcChain.xml")])
    workbook = (DECL + '<x:workbook xmlns:x="%s" xmlns:rel="%s"><x:workbookPr date1904="1"/>' % (MAIN, REL)
                + '<x:sheets><x:sheet name="Tags" sheetId="7" rel:id="R1a"/></x:sheets><x:calcPr calcId="191029"/></x:workbook>')
    sheet = ('\ufeff' + DECL + '<x:worksheet xmlns:x="%s"><x:sheetData>' % MAIN
             + '<x:row><x:c t="inlineStr"><x:is><x:t>Tag</x:t></x:is></x:c><x:c t="inlineStr"><x:is><x:t>Twice</x:t></x:is></x:c></x:row>'
             + '<x:row><x:c><x:v>5</x:v></x:c><x:c><x:f>A2*2</x:f><x:v>10</x:v></x:c></x:row>'
             + '</x:sheetData></x:worksheet>')
    calc = DECL + '<calcChain xmlns="%s"><c r="B2" i="1"/></calcChain>' % MAIN
    write_zip(path, [("[Content_Types].xml", types), ("_rels/.rels", root_rels), ("xl/workbook.xml", workbook),
                     ("xl/_rels/workbook.xml.rels", wb_rels), ("xl/worksheets/tags.xml", sheet),
                     ("xl/calcChain.xml", calc)])


def make_pretty(path):
    types = ('<?xml version="1.0" encoding="UTF-8"?>\r\n<Types xmlns="%s">\r\n' % CT
             + '  <Default Extension="rels" ContentType="%s"/>\r\n  <Default Extension="xml" ContentType="application/xml"/>\r\n' % T_RELS
             + '  <Override PartName="/xl/workbook.xml" ContentType="%s"/>\r\n' % T_WB
             + '  <Override PartName="/xl/worksheets/sheet1.xml" ContentType="%s"/>\r\n</Types>\r\n' % T_WS)
    workbook = ('<?xml version="1.0" encoding="UTF-8"?>\r\n<!-- written by a report tool -->\r\n'
                + '<workbook xmlns="%s"\r\n          xmlns:r="%s">\r\n' % (MAIN, REL)
                + '  <sheets>\r\n    <sheet name="Report" sheetId="1" r:id="rId1" />\r\n  </sheets>\r\n</workbook>\r\n')
    sheet = ('<?xml version="1.0" encoding="UTF-16"?>\r\n<!-- written by a report tool -->\r\n'
             + '<worksheet xmlns="%s">\r\n  <dimension ref="A1:B5" />\r\n  <sheetData>\r\n' % MAIN
             + '    <row r="1">\r\n      <c r="A1" t="inlineStr"><is><t><![CDATA[<Date & time>]]></t></is></c>\r\n'
             + '      <c r="B1" t="inlineStr"><is><r><rPr><b/></rPr><t>caf&#233; </t></r><r><t>&amp; t&#x00E9;</t></r></is></c>\r\n'
             + '      <c t="inlineStr"><is><t>no reference</t></is></c>\r\n    </row>\r\n'
             + '    <!-- between rows -->\r\n    <?report-tool page-break?>\r\n'
             + '    <row r="3" spans="1:2">\r\n      <c r="A3">\r\n        <v>1.5</v>\r\n      </c>\r\n    </row>\r\n'
             + '    <row r="5" ht="30" customHeight="1" />\r\n  </sheetData>\r\n'
             + '  <pageMargins left="0.7" right="0.7" top="0.75" bottom="0.75" header="0.3" footer="0.3" />\r\n</worksheet>\r\n')
    write_zip(path, [("[Content_Types].xml", types), ("_rels/.rels", rels([("rId1", REL + "/officeDocument", "xl/workbook.xml")])),
                     ("xl/workbook.xml", workbook), ("xl/_rels/workbook.xml.rels", rels([("rId1", REL + "/worksheet", "worksheets/sheet1.xml")])),
                     ("xl/worksheets/sheet1.xml", b"\xff\xfe" + sheet.encode("utf-16-le"))])


def minimal_parts():
    types = (DECL + '<Types xmlns="%s"><Default Extension="rels" ContentType="%s"/><Default Extension="xml" ContentType="application/xml"/>' % (CT, T_RELS)
             + '<Override PartName="/xl/workbook.xml" ContentType="%s"/><Override PartName="/xl/worksheets/sheet1.xml" ContentType="%s"/></Types>' % (T_WB, T_WS))
    return {
        "[Content_Types].xml": types,
        "_rels/.rels": rels([("rId1", REL + "/officeDocument", "xl/workbook.xml")]),
        "xl/workbook.xml": DECL + '<workbook xmlns="%s" xmlns:r="%s"><sheets><sheet name="Sheet1" sheetId="1" r:id="rId1"/></sheets></workbook>' % (MAIN, REL),
        "xl/_rels/workbook.xml.rels": rels([("rId1", REL + "/worksheet", "worksheets/sheet1.xml")]),
        "xl/worksheets/sheet1.xml": DECL + '<worksheet xmlns="%s"><sheetData><row r="1"><c r="A1"><v>1</v></c></row></sheetData></worksheet>' % MAIN,
    }


def sheet_with(rows):
    return DECL + '<worksheet xmlns="%s"><sheetData>%s</sheetData></worksheet>' % (MAIN, rows)


def make_minimal(kind, path):
    p = minimal_parts()
    if kind == "no-workbook":
        del p["xl/workbook.xml"]
    elif kind == "workbook-not-xml":
        p["xl/workbook.xml"] = "this is not <xml"
    elif kind == "missing-sheet-part":
        p["xl/_rels/workbook.xml.rels"] = rels([("rId1", REL + "/worksheet", "worksheets/sheet9.xml")])
    elif kind == "rows-out-of-order":
        p["xl/worksheets/sheet1.xml"] = sheet_with('<row r="3"><c r="A3"><v>1</v></c></row><row r="2"><c r="A2"><v>1</v></c></row>')
    elif kind == "entity-bomb":
        bomb = ('<?xml version="1.0"?><!DOCTYPE worksheet [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">'
                '<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">]>')
        p["xl/worksheets/sheet1.xml"] = bomb + '<worksheet xmlns="%s"><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>&d;</t></is></c></row></sheetData></worksheet>' % MAIN
    elif kind == "no-worksheet":
        p["xl/workbook.xml"] = DECL + '<workbook xmlns="%s"><sheets/></workbook>' % MAIN
    elif kind == "wrong-root":
        p["xl/worksheets/sheet1.xml"] = DECL + '<chartsheet xmlns="%s"><sheetData/></chartsheet>' % MAIN
    elif kind == "row-out-of-range":
        p["xl/worksheets/sheet1.xml"] = sheet_with('<row r="1048577"><c r="A1048577"><v>1</v></c></row>')
    elif kind == "late-prefixes":
        # Prefixes declared on the elements that get written into.
        p["xl/worksheets/sheet1.xml"] = DECL + '<worksheet xmlns="%s"><q:sheetData xmlns:q="%s"/></worksheet>' % (MAIN, MAIN)
        p["xl/styles.xml"] = (DECL + '<styleSheet xmlns="%s"><fonts count="1"><font><sz val="11"/></font></fonts><fills count="1"><fill><patternFill patternType="none"/></fill></fills>' % MAIN
                              + '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders><q:cellXfs xmlns:q="%s" count="1">' % MAIN
                              + '<q:xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></q:cellXfs></styleSheet>')
        p["xl/_rels/workbook.xml.rels"] = rels([("rId1", REL + "/worksheet", "worksheets/sheet1.xml"), ("rId2", REL + "/styles", "styles.xml")])
        p["[Content_Types].xml"] = p["[Content_Types].xml"].replace("</Types>", '<Override PartName="/xl/styles.xml" ContentType="%s"/></Types>' % T_ST)
    elif kind == "full":
        p["xl/worksheets/sheet1.xml"] = sheet_with('<row r="1"><c r="A1"><v>1</v></c></row>'
                                                   '<row r="1048576"><c r="C1048576"><v>2</v></c></row>')
    elif kind == "zip-bomb":
        p["xl/worksheets/sheet1.xml"] += " " * (70 << 20)
    elif kind == "sheet-read-18-times":
        # Each read within the limit of a part, all of them past that of a load.
        p["xl/workbook.xml"] = p["xl/workbook.xml"].replace('<sheet name="Sheet1" sheetId="1" r:id="rId1"/>', "".join(
            '<sheet name="S%d" sheetId="%d" r:id="rId1"/>' % (i, i) for i in range(1, 19)))
        p["xl/worksheets/sheet1.xml"] = sheet_with('<row r="1"><c r="A1"><v>1</v></c></row>' + " " * (60 << 20))
    elif kind == "last-column":
        # (the comment takes the rows past the fast scan, which hands any
        # reference it refuses on, to the full parser)
        p["xl/worksheets/sheet1.xml"] = sheet_with('<!-- x --><row r="1"><c r="XFD1"><v>1</v></c></row>')
    elif kind == "past-last-column":
        p["xl/worksheets/sheet1.xml"] = sheet_with('<row r="1"><c r="XFE1"><v>1</v></c></row>')
    elif kind == "row-twice":
        p["xl/worksheets/sheet1.xml"] = sheet_with('<row r="2"><c r="A2"><v>1</v></c></row><row r="2"><c r="B2"><v>1</v></c></row>')
    elif kind == "noncharacter":
        p["xl/worksheets/sheet1.xml"] = sheet_with('<row r="1"><c r="A1" t="inlineStr"><is><t>&#xFFFF;</t></is></c></row>')
    elif kind == "bad-cell-ref":
        p["xl/worksheets/sheet1.xml"] = sheet_with('<row r="1"><c r="1A"><v>1</v></c></row>')
    elif kind not in ("valid", "truncated-entry", "truncated", "claims-60000-entries"):
        raise SystemExit("unknown kind " + kind)
    write_zip(path, list(p.items()))
    if kind == "truncated":
        whole = open(path, "rb").read()
        open(path, "wb").write(whole[:len(whole) // 2])
    if kind == "claims-60000-entries":
        # Nothing but an end of central directory record that claims them.
        open(path, "wb").write(bytes(100) + b"PK\x05\x06\0\0\0\0\x60\xea\x60\xea" + bytes(10))
    if kind == "truncated-entry":
        # The sheet's compressed data is cut short inside an archive that is otherwise whole.
        with zipfile.ZipFile(path) as z:
            info = z.getinfo("xl/worksheets/sheet1.xml")
        data = bytearray(open(path, "rb").read())
        start = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra)
        for i in range(start + info.compress_size // 2, start + info.compress_size):
            data[i] = 0
        open(path, "wb").write(bytes(data))


def make(kind, path):
    makers = {"openpyxl": make_openpyxl, "prefixed": make_prefixed, "pretty": make_pretty}
    if kind in makers:
        makers[kind](path)
    else:
        make_minimal(kind, path)


def main(argv):
    commands = {"dump": dump, "entries": entries, "part": part, "rows": rows, "make": make, "forge": forge, "layout": make_layout}
    if len(argv) < 2 or argv[1] not in commands:
        raise SystemExit(__doc__)
    commands[argv[1]](*argv[2:])


if __name__ == "__main__":
    main(sys.argv)
