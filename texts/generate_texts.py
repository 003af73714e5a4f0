#!/usr/bin/env python3
"""Builds the program's built-in string tables from texts/default_texts.tsv.

Writes, as asked on the command line:
  --cpp FILE  a C++ source defining pkx::FindBuiltinText(language, id) over
              both tables in UTF-8 (the string tables of builds without
              resources);
  --rc FILE   a resource script with the Japanese table as a STRINGTABLE of
              language Japanese (code page 932) and the English one as a
              STRINGTABLE of language English (United States), for windres;
  --ids FILE  a C++ header naming every ID (pkx::text::kName), so that code
              never spells a text by its number.

The table has one text per line: the decimal ID, a tab, the text's name (upper
camel case), a tab, the Japanese text, a tab, the English text, all in UTF-8.
Lines that are empty or start with '#' are skipped. A Japanese text must fit
code page 932, an English one must be ASCII (it is shown on systems of every
code page but 932), and both must hold the same placeholders in the same
order. The two characters backslash and n are kept as they are in all outputs.
"""

import argparse
import re
import sys

MAX_TEXT_BYTES = 259  # a text and its terminator fill a 260-byte buffer
# Each table: its code page for the resource script, and its LANGUAGE IDs.
TABLES = (
    ("japanese", "cp932", "0x11, 0x01"),  # LANG_JAPANESE, SUBLANG_DEFAULT
    ("english", "ascii", "0x09, 0x01"),  # LANG_ENGLISH, SUBLANG_ENGLISH_US
)


def is_lead_byte(byte):
    return 0x81 <= byte <= 0x9F or 0xE0 <= byte <= 0xFC


def placeholders(text):
    return re.findall(r"%.?", text)


def encode(where, text, code_page):
    try:
        encoded = text.encode(code_page)
    except UnicodeEncodeError as error:
        sys.exit("%s: not representable in %s: %s" % (where, code_page, error))
    if len(encoded) > MAX_TEXT_BYTES:
        sys.exit("%s: %d bytes, at most %d fit" % (where, len(encoded), MAX_TEXT_BYTES))
    if b"\0" in encoded:
        sys.exit("%s: NUL inside a text" % where)
    return encoded


def read_table(path):
    """Returns {language: {id: text}} and {id: name}."""
    tables = {language: {} for language, _, _ in TABLES}
    names = {}
    with open(path, encoding="utf-8", newline="") as table:
        for number, line in enumerate(table, 1):
            line = line.rstrip("\r\n")
            if not line or line.startswith("#"):
                continue
            where = "%s:%d" % (path, number)
            if line.count("\t") != 3:
                sys.exit("%s: expected an ID, a name, the Japanese and the English text, "
                         "separated by tabs" % where)
            id_text, name, japanese, english = line.split("\t")
            if not id_text.isdigit() or not 0 < int(id_text) <= 0xFFFF:
                sys.exit("%s: the ID must be a number from 1 to 65535" % where)
            text_id = int(id_text)
            if text_id in names:
                sys.exit("%s: ID %d appears twice" % (where, text_id))
            if not re.fullmatch(r"[A-Z][A-Za-z0-9]*", name):
                sys.exit("%s: the name must be upper camel case" % where)
            if name in names.values():
                sys.exit("%s: the name %s appears twice" % (where, name))
            if placeholders(japanese) != placeholders(english):
                sys.exit("%s: the English text must hold the placeholders %s in this order"
                         % (where, " ".join(placeholders(japanese)) or "(none)"))
            names[text_id] = name
            for (language, code_page, _), text in zip(TABLES, (japanese, english)):
                encode("%s (%s)" % (where, language), text, code_page)
                tables[language][text_id] = text
    return tables, names


def cpp_literal(encoded):
    # Three-digit octal escapes end after three digits, unlike greedy \x escapes.
    out = []
    for byte in encoded:
        char = chr(byte)
        if char in '"\\':
            out.append("\\" + char)
        elif 0x20 <= byte < 0x7F and char != "?":
            out.append(char)
        else:
            out.append("\\%03o" % byte)
    return '"' + "".join(out) + '"'


def rc_literal(encoded):
    # windres reads escapes byte by byte, even in the trail byte of a
    # double-byte character: every backslash byte, ASCII or trail, is written
    # as \\ so that "\n" reaches the resource as backslash and n, and a quote
    # is doubled. Control bytes use octal escapes.
    out = bytearray(b'"')
    index = 0
    while index < len(encoded):
        byte = encoded[index]
        if is_lead_byte(byte) and index + 1 < len(encoded):
            for part in encoded[index : index + 2]:
                out += b"\\\\" if part == 0x5C else bytes([part])
            index += 2
            continue
        if byte == 0x5C:
            out += b"\\\\"
        elif byte == 0x22:
            out += b'""'
        elif byte < 0x20 or byte == 0x7F:
            out += b"\\%03o" % byte
        else:
            out.append(byte)
        index += 1
    out += b'"'
    return bytes(out)


def write_cpp(path, tables):
    lines = [
        "// Generated by texts/generate_texts.py from texts/default_texts.tsv; do not edit.",
        '#include "platform/posix/builtin_texts.h"',
        "",
        "#include <cstddef>",
        "",
        "namespace pkx {",
        "namespace {",
        "",
        "// A text's ID and where it starts in its language's characters: offsets",
        "// instead of pointers keep the tables out of the relocated data of a",
        "// position-independent image, 2.5 KB less in the Linux updater.",
        "struct BuiltinText {",
        "    uint16_t id;",
        "    uint16_t offset;",
        "};",
        "",
    ]
    for language, _, _ in TABLES:
        texts = tables[language]
        name = language.capitalize()
        entries = []
        lines.append("// The %s texts, each ending in a zero byte; UTF-8." % name)
        lines.append("const char k%sCharacters[] =" % name)
        offset = 0
        for text_id in sorted(texts):
            encoded = texts[text_id].encode("utf-8") + b"\0"
            if text_id > 0xFFFF or offset > 0xFFFF:
                sys.exit("generate_texts: the %s table outgrows its 16-bit fields" % name)
            entries.append("    {%d, %d}," % (text_id, offset))
            lines.append("    " + cpp_literal(encoded))
            offset += len(encoded)
        lines[-1] += ";"
        lines += ["", "// The %s table, sorted by ID." % name]
        lines.append("const BuiltinText k%sTexts[] = {" % name)
        lines += entries
        lines += ["};", ""]
    lines += [
        "template <size_t count>",
        "const char* Find(const BuiltinText (&texts)[count], const char* characters, uint32_t id) {",
        "    size_t low = 0;",
        "    size_t high = count;",
        "    while (low < high) {",
        "        const size_t middle = low + (high - low) / 2;",
        "        if (texts[middle].id == id) return characters + texts[middle].offset;",
        "        if (texts[middle].id < id) {",
        "            low = middle + 1;",
        "        } else {",
        "            high = middle;",
        "        }",
        "    }",
        "    return nullptr;",
        "}",
        "",
        "}  // namespace",
        "",
        "const char* FindBuiltinText(TextLanguage language, uint32_t id) {",
        "    return language == TextLanguage::kJapanese",
        "               ? Find(kJapaneseTexts, kJapaneseCharacters, id)",
        "               : Find(kEnglishTexts, kEnglishCharacters, id);",
        "}",
        "",
        "}  // namespace pkx",
    ]
    write_if_changed(path, ("\n".join(lines) + "\n").encode("ascii"))


def write_rc(path, tables):
    out = [
        b"// Generated by texts/generate_texts.py from texts/default_texts.tsv; do not edit.",
        b"// The updater chooses the table by the system's code page, not by the",
        b"// user interface language, so it loads each string from its language.",
        b"#pragma code_page(932)",
    ]
    for language, code_page, language_ids in TABLES:
        texts = tables[language]
        out += [b"", b"LANGUAGE " + language_ids.encode("ascii"), b"STRINGTABLE", b"BEGIN"]
        for text_id in sorted(texts):
            encoded = texts[text_id].encode(code_page)
            out.append(b"    %d, %s" % (text_id, rc_literal(encoded)))
        out.append(b"END")
    out.append(b"")
    write_if_changed(path, b"\n".join(out))


def write_ids(path, names):
    lines = [
        "// Generated by texts/generate_texts.py from texts/default_texts.tsv; do not edit.",
        "// The IDs of the built-in texts, by name.",
        "#pragma once",
        "",
        "#include <cstdint>",
        "",
        "namespace pkx::text {",
        "",
    ]
    for text_id in sorted(names):
        lines.append("inline constexpr uint32_t k%s = %d;" % (names[text_id], text_id))
    lines += ["", "}  // namespace pkx::text", ""]
    write_if_changed(path, "\n".join(lines).encode("ascii"))


def write_if_changed(path, content):
    # Leaves an unchanged output untouched so that nothing rebuilds needlessly.
    try:
        with open(path, "rb") as existing:
            if existing.read() == content:
                return
    except OSError:
        pass
    with open(path, "wb") as output:
        output.write(content)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("table", help="the text table (default_texts.tsv)")
    parser.add_argument("--cpp", help="C++ source to write")
    parser.add_argument("--rc", help="resource script to write")
    parser.add_argument("--ids", help="C++ header of the text IDs to write")
    args = parser.parse_args()
    tables, names = read_table(args.table)
    if args.cpp:
        write_cpp(args.cpp, tables)
    if args.rc:
        write_rc(args.rc, tables)
    if args.ids:
        write_ids(args.ids, names)


if __name__ == "__main__":
    main()
