#!/usr/bin/env python3
"""Reads the editor's resource scripts.

The .rc files under resources/ are the one source of the module's resources:
windres compiles them into TAVUEdit.dll, and this reader turns the same text
into the tables the native build links (--cpp) and into the data
tools/check-dll compares the built DLL against (parse()).

It understands the subset of the resource language the scripts use:
    #pragma code_page(65001)      the only code page; needed for non-ASCII text
    #include "x.rc"               relative to the including file
    #include "x.h"                only its #define lines are read
    #include <x.h>                skipped; the constants the scripts take from
                                  system headers are built in below
    #pragma once                  in headers read by several scripts
    #define NAME expression
    LANGUAGE primary, sublanguage
    STRINGTABLE [flags] [LANGUAGE p, s] BEGIN id [,] "text" ["text"...] ... END
    id DIALOG[EX] [flags] x, y, cx, cy[, helpid]
        [STYLE style] [EXSTYLE n] [CAPTION "text"] [LANGUAGE p, s]
        [FONT size, "name"[, weight, italic, charset]]
    BEGIN
        CONTROL "text", id, class, style, x, y, cx, cy[, exstyle[, helpid]]
        ...
    END
    where style is "a | NOT b | ..." as rc reads it. Only CONTROL statements
    are read: the short forms (LTEXT, PUSHBUTTON, ...) add style bits of
    their own that a script should rather show.
    name VERSIONINFO ... BEGIN ... END   skipped whole

    python3 tools/rcgen.py --cpp OUT.cpp resources/TAVUEdit.rc
"""

import argparse
import os
import sys

UTF8_CODE_PAGE = 65001

# Constants of <winresrc.h> the scripts use.
BUILTIN_SYMBOLS = {
    "LANG_NEUTRAL": 0x00,
    "LANG_ENGLISH": 0x09,
    "LANG_GERMAN": 0x07,
    "LANG_ITALIAN": 0x10,
    "SUBLANG_NEUTRAL": 0x00,
    "SUBLANG_DEFAULT": 0x01,
    "SUBLANG_ENGLISH_US": 0x01,
    "SUBLANG_GERMAN": 0x01,
    "SUBLANG_ITALIAN": 0x01,
    "IDOK": 1,
    "IDCANCEL": 2,
    "WS_POPUP": 0x80000000,
    "WS_CHILD": 0x40000000,
    "WS_VISIBLE": 0x10000000,
    "WS_DISABLED": 0x08000000,
    "WS_CAPTION": 0x00C00000,
    "WS_BORDER": 0x00800000,
    "WS_VSCROLL": 0x00200000,
    "WS_SYSMENU": 0x00080000,
    "WS_GROUP": 0x00020000,
    "WS_TABSTOP": 0x00010000,
    "DS_SETFONT": 0x40,
    "DS_MODALFRAME": 0x80,
    "SS_LEFT": 0x0000,
    "SS_CENTER": 0x0001,
    "SS_BITMAP": 0x000E,
    "SS_REALSIZEIMAGE": 0x0800,
    "SS_SUNKEN": 0x1000,
    "BS_PUSHBUTTON": 0x0000,
    "BS_DEFPUSHBUTTON": 0x0001,
    "BS_GROUPBOX": 0x0007,
    "CBS_DROPDOWNLIST": 0x0003,
    "CBS_SORT": 0x0100,
    "ES_RIGHT": 0x0002,
    "ES_AUTOHSCROLL": 0x0080,
    "ES_NUMBER": 0x2000,
}

# What windres gives a dialog without STYLE, and what CAPTION and FONT add.
DIALOG_DEFAULT_STYLE = (BUILTIN_SYMBOLS["WS_POPUP"] | BUILTIN_SYMBOLS["WS_BORDER"]
                        | BUILTIN_SYMBOLS["WS_SYSMENU"])
CAPTION_STYLE = BUILTIN_SYMBOLS["WS_CAPTION"]
FONT_STYLE = BUILTIN_SYMBOLS["DS_SETFONT"]
# Every CONTROL starts from these; its style expression adds to them.
CONTROL_DEFAULT_STYLE = BUILTIN_SYMBOLS["WS_CHILD"] | BUILTIN_SYMBOLS["WS_VISIBLE"]
# windres writes DIALOGEX fonts with this weight, italic flag and charset
# (DEFAULT_CHARSET) unless the FONT statement gives them.
DEFAULT_FONT_WEIGHT = 0
DEFAULT_FONT_ITALIC = 0
DEFAULT_FONT_CHARSET = 1

# The predefined window classes a template may name by ordinal.
CONTROL_CLASS_ORDINALS = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC", 0x83: "LISTBOX", 0x84: "SCROLLBAR",
                          0x85: "COMBOBOX"}

# Load and memory options rc accepts after a resource keyword; they mean
# nothing to a Win32 module, so they are read and dropped.
MEMORY_FLAGS = {"PRELOAD", "LOADONCALL", "FIXED", "MOVEABLE", "DISCARDABLE", "PURE", "IMPURE", "SHARED",
                "NONSHARED"}

# windres only warns about other escapes and keeps the backslash; refusing
# them keeps the DLL and the native tables from disagreeing.
STRING_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "a": "\a", "b": "\b", "f": "\f", "v": "\v", "\\": "\\"}

PUNCTUATION = ",|&+-~(){}"


def make_lang_id(primary, sublanguage):
    return (sublanguage << 10) | primary


class RcError(Exception):
    def __init__(self, path, line, message):
        super().__init__(f"{path}:{line}: {message}")
        self.path = path
        self.line = line
        self.message = message


class Token:
    __slots__ = ("kind", "value", "path", "line")

    def __init__(self, kind, value, path, line):
        self.kind = kind  # "name", "number", "string", "punct" or "end"
        self.value = value
        self.path = path
        self.line = line

    def is_word(self, *words):
        return self.kind == "name" and self.value.upper() in words

    def is_punct(self, *marks):
        return self.kind == "punct" and self.value in marks

    def describe(self):
        if self.kind == "end":
            return "end of input"
        if self.kind == "string":
            return "string"
        return f"'{self.value}'"


# --- Tokens -----------------------------------------------------------------


class Scanner:
    """Splits one file into tokens, handing directives to the Preprocessor.

    Tokens of included scripts are spliced in where their #include stood.
    """

    def __init__(self, path, text, preprocessor, header):
        self.path = path
        self.text = text
        self.pos = 0
        self.line = 1
        self.pre = preprocessor
        self.header = header  # a .h file: only directives and comments
        self.at_line_start = True
        self.out = []

    def error(self, message, line=None):
        raise RcError(self.path, self.line if line is None else line, message)

    def peek(self, ahead=0):
        index = self.pos + ahead
        return self.text[index] if index < len(self.text) else ""

    def tokens(self):
        while True:
            self.skip_blanks(stop_at_newline=False)
            if self.pos >= len(self.text):
                return self.out
            if self.peek() == "#" and self.at_line_start:
                self.directive()
                continue
            if self.header:
                self.error("only #define lines are read from a header")
            self.at_line_start = False
            self.out.append(self.read_token())

    def skip_blanks(self, stop_at_newline):
        while self.pos < len(self.text):
            c = self.peek()
            if c == "\n":
                if stop_at_newline:
                    return
                self.pos += 1
                self.line += 1
                self.at_line_start = True
            elif c == "\\" and stop_at_newline and self.text.startswith("\n", self.pos + 1):
                self.pos += 2
                self.line += 1
            elif c in " \t\r\f\v":
                self.pos += 1
            elif self.text.startswith("//", self.pos):
                end = self.text.find("\n", self.pos)
                self.pos = len(self.text) if end < 0 else end
            elif self.text.startswith("/*", self.pos):
                end = self.text.find("*/", self.pos + 2)
                if end < 0:
                    self.error("unterminated comment")
                self.line += self.text.count("\n", self.pos, end)
                self.pos = end + 2
            else:
                return

    def read_token(self):
        c = self.peek()
        line = self.line
        if c == '"' or (c in "Ll" and self.peek(1) == '"'):
            if c != '"':
                self.pos += 1
            return Token("string", self.read_string(), self.path, line)
        if c.isdigit():
            return Token("number", self.read_number(), self.path, line)
        if c.isalpha() or c == "_":
            return Token("name", self.read_name(), self.path, line)
        if c in PUNCTUATION:
            self.pos += 1
            return Token("punct", c, self.path, line)
        self.error(f"unexpected character {c!r}")

    def read_name(self):
        start = self.pos
        while self.peek().isalnum() or self.peek() == "_":
            self.pos += 1
        return self.text[start:self.pos]

    def read_number(self):
        start = self.pos
        while self.peek().isalnum():
            self.pos += 1
        literal = self.text[start:self.pos]
        digits = literal.rstrip("LlUu")
        try:
            if digits[:2].lower() == "0x":
                return int(digits[2:], 16)
            if len(digits) > 1 and digits[0] == "0":
                return int(digits, 8)
            return int(digits, 10)
        except ValueError:
            self.error(f"bad number '{literal}'")

    def read_string(self):
        self.pos += 1  # the opening quote
        chars = []
        while True:
            c = self.peek()
            if c in ("", "\n"):
                self.error("unterminated string")
            self.pos += 1
            if c == '"':
                if self.peek() != '"':
                    return "".join(chars)
                self.pos += 1
                chars.append('"')
            elif c == "\\":
                escape = self.peek()
                if escape == '"':
                    self.error('bad escape \\" (a quote is written "")')
                if escape not in STRING_ESCAPES:
                    self.error(f"bad escape \\{escape}" if escape.strip() else "bad escape at end of line")
                self.pos += 1
                chars.append(STRING_ESCAPES[escape])
            else:
                if ord(c) > 0x7F and self.pre.code_page != UTF8_CODE_PAGE:
                    self.error("non-ASCII text needs #pragma code_page(65001) before it")
                chars.append(c)

    def directive(self):
        line = self.line
        self.pos += 1
        self.skip_blanks(stop_at_newline=True)
        name = self.read_name()
        tokens = []
        if name == "define":
            self.skip_blanks(stop_at_newline=True)
            if not (self.peek().isalpha() or self.peek() == "_"):
                self.error("expected a name after #define", line)
            tokens.append(Token("name", self.read_name(), self.path, line))
            if self.peek() == "(":
                self.error(f"function-like macro '{tokens[0].value}' is not supported", line)
        while True:
            self.skip_blanks(stop_at_newline=True)
            if self.pos >= len(self.text) or self.peek() == "\n":
                break
            if name == "include" and self.peek() == "<":
                end = self.text.find(">", self.pos)
                if end < 0 or "\n" in self.text[self.pos:end]:
                    self.error("unterminated #include <...>")
                tokens.append(Token("system", self.text[self.pos + 1:end], self.path, line))
                self.pos = end + 1
            else:
                tokens.append(self.read_token())
        self.pre.directive(self, name, tokens, line)


class Preprocessor:
    """What the directives of one script set: symbols and the code page."""

    def __init__(self):
        self.symbols = {}  # name -> tokens of its value
        self.code_page = None
        self.open_files = []
        self.read_once = set()  # files that said #pragma once
        self.evaluating = []

    def read_file(self, path, header=False, includer=None, include_line=None):
        full = os.path.abspath(path)
        if full in self.open_files:
            raise RcError(includer, include_line, f"'{path}' includes itself")
        try:
            with open(path, "rb") as f:
                raw = f.read()
        except OSError as e:
            if includer is None:
                raise RcError(path, 0, f"cannot read: {e.strerror}")
            raise RcError(includer, include_line, f"cannot read '{path}': {e.strerror}")
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise RcError(path, raw[:e.start].count(b"\n") + 1, "not valid UTF-8")
        self.open_files.append(full)
        try:
            return Scanner(path, text.removeprefix("\ufeff"), self, header).tokens()
        finally:
            self.open_files.pop()

    def directive(self, scanner, name, tokens, line):
        handler = getattr(self, "directive_" + name, None)
        if handler is None:
            scanner.error(f"unsupported directive #{name}", line)
        handler(scanner, tokens, line)

    def directive_pragma(self, scanner, tokens, line):
        if len(tokens) == 1 and tokens[0].is_word("ONCE"):
            # Several scripts include resource_ids.h; the C preprocessor
            # windres runs reads it once, and so must this.
            self.read_once.add(os.path.abspath(scanner.path))
            return
        if not tokens or not tokens[0].is_word("CODE_PAGE"):
            return  # nothing to do with resources
        if (len(tokens) != 4 or not tokens[1].is_punct("(") or tokens[2].kind != "number"
                or not tokens[3].is_punct(")")):
            scanner.error("expected #pragma code_page(65001)", line)
        if tokens[2].value != UTF8_CODE_PAGE:
            scanner.error(f"code page {tokens[2].value} is not supported; the scripts are UTF-8 (65001)", line)
        self.code_page = tokens[2].value

    def directive_define(self, scanner, tokens, line):
        name = tokens[0].value
        if name in self.symbols or name in BUILTIN_SYMBOLS:
            scanner.error(f"'{name}' is defined twice", line)
        self.symbols[name] = tokens[1:]

    def directive_include(self, scanner, tokens, line):
        if len(tokens) != 1 or tokens[0].kind not in ("string", "system"):
            scanner.error('expected #include "file" or #include <file>', line)
        if tokens[0].kind == "system":
            return
        target = os.path.join(os.path.dirname(scanner.path), tokens[0].value)
        if os.path.abspath(target) in self.read_once:
            return
        header = os.path.splitext(target)[1].lower() in (".h", ".hh", ".hpp")
        scanner.out.extend(self.read_file(target, header, scanner.path, line))

    def value_of(self, token):
        """The number a symbol stands for, following #define chains."""
        name = token.value
        if name in BUILTIN_SYMBOLS:
            return BUILTIN_SYMBOLS[name]
        if name not in self.symbols:
            raise RcError(token.path, token.line, f"undefined symbol '{name}'")
        if name in self.evaluating:
            raise RcError(token.path, token.line, f"'{name}' is defined in terms of itself")
        if not self.symbols[name]:
            raise RcError(token.path, token.line, f"'{name}' has no value")
        self.evaluating.append(name)
        try:
            stream = TokenStream(self.symbols[name], self)
            result = stream.expression()
            stream.expect_end(f"in the value of '{name}'")
            return result
        finally:
            self.evaluating.pop()


# --- Statements -------------------------------------------------------------


class TokenStream:
    def __init__(self, tokens, preprocessor):
        self.tokens = tokens
        self.pos = 0
        self.pre = preprocessor
        last = tokens[-1] if tokens else None
        self.end = Token("end", None, last.path if last else "<input>", last.line if last else 0)

    def peek(self):
        return self.tokens[self.pos] if self.pos < len(self.tokens) else self.end

    def next(self):
        token = self.peek()
        if token.kind != "end":
            self.pos += 1
        return token

    def at_end(self):
        return self.pos >= len(self.tokens)

    @staticmethod
    def error(token, message):
        raise RcError(token.path, token.line, message)

    def expect_end(self, where):
        if not self.at_end():
            self.error(self.peek(), f"unexpected {self.peek().describe()} {where}")

    def expect_punct(self, mark):
        token = self.next()
        if not token.is_punct(mark):
            self.error(token, f"expected '{mark}', found {token.describe()}")
        return token

    def skip_comma(self):
        if self.peek().is_punct(","):
            self.next()

    # Integer expressions: | & + - over numbers, symbols, unary - ~ and
    # parentheses, evaluated left to right as rc does.
    def expression(self):
        value = self.operand()
        while self.peek().is_punct("|", "&", "+", "-"):
            mark = self.next().value
            right = self.operand()
            if mark == "|":
                value |= right
            elif mark == "&":
                value &= right
            elif mark == "+":
                value += right
            else:
                value -= right
        return value

    def operand(self):
        token = self.next()
        if token.kind == "number":
            return token.value
        if token.kind == "name":
            return self.pre.value_of(token)
        if token.is_punct("-"):
            return -self.operand()
        if token.is_punct("~"):
            return ~self.operand()
        if token.is_punct("("):
            value = self.expression()
            self.expect_punct(")")
            return value
        self.error(token, f"expected a number, found {token.describe()}")

    def word(self, value, low, high, what):
        if not low <= value <= high:
            self.error(self.tokens[self.pos - 1], f"{what} {value} is out of range {low}..{high}")
        return value

    def text(self):
        """One string, or several adjacent ones joined as windres joins them."""
        token = self.next()
        if token.kind != "string":
            self.error(token, f"expected a string, found {token.describe()}")
        parts = [token.value]
        while self.peek().kind == "string":
            parts.append(self.next().value)
        return "".join(parts)


class Parser(TokenStream):
    """One handler per statement; resources keyed by their type keyword."""

    def __init__(self, tokens, preprocessor):
        super().__init__(tokens, preprocessor)
        self.language = None
        self.result = {"strings": {}, "dialogs": {}}
        self.statements = {
            "LANGUAGE": self.statement_language,
            "STRINGTABLE": self.statement_stringtable,
        }
        # Resources written "name TYPE ...", e.g. "102 DIALOGEX ...".
        self.resources = {
            "DIALOG": self.resource_dialog,
            "DIALOGEX": self.resource_dialog,
            "VERSIONINFO": self.resource_versioninfo,
        }

    def parse(self):
        while not self.at_end():
            token = self.peek()
            if token.kind == "name" and token.value.upper() in self.statements:
                self.next()
                self.statements[token.value.upper()](token)
                continue
            if token.kind in ("name", "number") and self.pos + 1 < len(self.tokens):
                kind = self.tokens[self.pos + 1]
                if kind.kind == "name" and kind.value.upper() in self.resources:
                    name = self.resource_name()
                    self.next()
                    self.resources[kind.value.upper()](kind, name)
                    continue
            self.error(token, f"unknown statement {token.describe()}")
        return self.result

    def resource_name(self):
        token = self.next()
        if token.kind == "number":
            return self.word(token.value, 1, 0xFFFF, "resource id")
        if token.value in self.pre.symbols or token.value in BUILTIN_SYMBOLS:
            return self.word(self.pre.value_of(token), 1, 0xFFFF, "resource id")
        return token.value.upper()  # named resources are matched without case

    def language_value(self):
        primary = self.word(self.expression(), 0, 0x3FF, "primary language")
        self.expect_punct(",")
        sublanguage = self.word(self.expression(), 0, 0x3F, "sublanguage")
        return make_lang_id(primary, sublanguage)

    def statement_language(self, keyword):
        self.language = self.language_value()

    def resource_options(self, keyword):
        """Memory flags and optional statements up to BEGIN; the language."""
        language = self.language
        while True:
            token = self.next()
            if token.is_word("BEGIN") or token.is_punct("{"):
                break
            if token.kind == "name" and token.value.upper() in MEMORY_FLAGS:
                continue
            if token.is_word("LANGUAGE"):
                language = self.language_value()
            elif token.is_word("CHARACTERISTICS", "VERSION"):
                self.expression()
            else:
                self.error(token, f"expected BEGIN, found {token.describe()}")
        if language is None:
            self.error(keyword, f"{keyword.value.upper()} is in no LANGUAGE block")
        return language

    @staticmethod
    def is_block_end(token):
        return token.is_word("END") or token.is_punct("}")

    def statement_stringtable(self, keyword):
        language = self.resource_options(keyword)
        table = self.result["strings"].setdefault(language, {})
        while not self.is_block_end(self.peek()):
            if self.at_end():
                self.error(keyword, "STRINGTABLE has no END")
            id_token = self.peek()
            string_id = self.word(self.expression(), 0, 0xFFFF, "string id")
            self.skip_comma()
            text = self.text()
            if string_id in table:
                self.error(id_token, f"string {string_id} appears twice in language {language}")
            table[string_id] = text
        self.next()

    def resource_versioninfo(self, keyword, name):
        """Skipped: the native build has no use for it, and its numbers come
        from a header only windres reads; tools/check-dll checks the built one."""
        depth = 0
        while True:
            token = self.next()
            if token.kind == "end":
                self.error(keyword, "VERSIONINFO has no END")
            if token.is_word("BEGIN") or token.is_punct("{"):
                depth += 1
            elif self.is_block_end(token):
                depth -= 1
                if depth == 0:
                    return


    # --- Dialogs ---

    def comma_number(self, low, high, what):
        self.expect_punct(",")
        return self.word(self.expression(), low, high, what)

    def coordinate(self, what, leading_comma=True):
        if leading_comma:
            self.expect_punct(",")
        return self.word(self.expression(), -0x8000, 0x7FFF, what)

    def style_expression(self, style):
        """style after "a | NOT b | ...": windres sets each term's bits and
        clears those of a NOT term, left to right. Terms are numbers,
        symbols or parenthesised expressions, as windres allows."""
        while True:
            negate = self.peek().is_word("NOT")
            if negate:
                self.next()
            value = self.operand()
            style = style & ~value if negate else style | value
            if not self.peek().is_punct("|"):
                return style & 0xFFFFFFFF
            self.next()

    def control_id(self, extended):
        # DIALOGEX keeps a 32-bit id, DIALOG a 16-bit one; both read back
        # signed, so a label's -1 stays -1.
        bits = 32 if extended else 16
        token = self.peek()
        value = self.expression()
        if not -(1 << (bits - 1)) <= value < (1 << bits):
            self.error(token, f"control id {value} does not fit {bits} bits")
        value &= (1 << bits) - 1
        return value - (1 << bits) if value >> (bits - 1) else value

    def control_class(self):
        token = self.peek()
        if token.kind == "string":
            self.next()
            # windres stores class names upper-cased; so does this.
            return token.value.upper()
        ordinal = self.expression()
        if ordinal not in CONTROL_CLASS_ORDINALS:
            self.error(token, f"window class ordinal {ordinal:#x} is not a predefined class")
        return CONTROL_CLASS_ORDINALS[ordinal]

    def dialog_font(self, extended):
        size = self.word(self.expression(), 0, 0xFFFF, "font size")
        self.expect_punct(",")
        name_token = self.peek()
        name = self.text()
        if not name:
            self.error(name_token, "empty font name")
        font = {"size": size, "name": name, "weight": None, "italic": None, "charset": None}
        if extended:
            font.update(weight=DEFAULT_FONT_WEIGHT, italic=DEFAULT_FONT_ITALIC, charset=DEFAULT_FONT_CHARSET)
            for field, high in (("weight", 0xFFFF), ("italic", 0xFF), ("charset", 0xFF)):
                if not self.peek().is_punct(","):
                    break
                font[field] = self.comma_number(0, high, f"font {field}")
        elif self.peek().is_punct(","):
            self.error(self.peek(), "font weight, italic and charset need DIALOGEX")
        return font

    def dialog_control(self, extended):
        text_token = self.peek()
        if text_token.kind != "string":
            self.error(text_token, f"expected the control's text, found {text_token.describe()}")
        text = self.text()
        self.expect_punct(",")
        control_id = self.control_id(extended)
        self.expect_punct(",")
        class_name = self.control_class()
        self.expect_punct(",")
        style = self.style_expression(CONTROL_DEFAULT_STYLE)
        x = self.coordinate("x")
        y = self.coordinate("y")
        width = self.coordinate("width")
        height = self.coordinate("height")
        exstyle = help_id = 0
        if self.peek().is_punct(","):
            exstyle = self.comma_number(-0x80000000, 0xFFFFFFFF, "extended style") & 0xFFFFFFFF
            if extended and self.peek().is_punct(","):
                help_id = self.comma_number(-0x80000000, 0xFFFFFFFF, "help id") & 0xFFFFFFFF
        if self.peek().is_word("BEGIN") or self.peek().is_punct("{"):
            self.error(self.peek(), "control creation data is not supported")
        return {"id": control_id, "class": class_name, "style": style, "exstyle": exstyle, "help_id": help_id,
                "x": x, "y": y, "width": width, "height": height, "text": text}

    def resource_dialog(self, keyword, name):
        extended = keyword.value.upper() == "DIALOGEX"
        if isinstance(name, str):
            self.error(keyword, f"dialog '{name}' needs a numeric id (an undefined symbol?)")
        language = self.language
        while self.peek().kind == "name" and self.peek().value.upper() in MEMORY_FLAGS:
            self.next()
        x = self.coordinate("x", leading_comma=False)
        y = self.coordinate("y")
        width = self.coordinate("width")
        height = self.coordinate("height")
        help_id = 0
        if extended and self.peek().is_punct(","):
            help_id = self.comma_number(-0x80000000, 0xFFFFFFFF, "help id") & 0xFFFFFFFF

        # windres keeps the default style until a STYLE statement; from then
        # on the style is what STYLE, CAPTION and FONT have set, in order.
        style = DIALOG_DEFAULT_STYLE
        written = 0
        exstyle = 0
        caption = ""
        font = None
        while True:
            token = self.next()
            if token.is_word("BEGIN") or token.is_punct("{"):
                break
            if token.is_word("STYLE"):
                written = self.style_expression(written)
                style = written
            elif token.is_word("EXSTYLE"):
                exstyle = self.word(self.expression(), -0x80000000, 0xFFFFFFFF, "extended style") & 0xFFFFFFFF
            elif token.is_word("CAPTION"):
                caption = self.text()
                style |= CAPTION_STYLE
                written |= CAPTION_STYLE
            elif token.is_word("FONT"):
                font = self.dialog_font(extended)
                style |= FONT_STYLE
                written |= FONT_STYLE
            elif token.is_word("LANGUAGE"):
                language = self.language_value()
            elif token.is_word("CHARACTERISTICS", "VERSION"):
                self.expression()
            elif token.is_word("MENU", "CLASS"):
                self.error(token, f"{token.value.upper()} is not supported in dialogs")
            else:
                self.error(token, f"expected BEGIN, found {token.describe()}")
        if language is None:
            self.error(keyword, f"{keyword.value.upper()} is in no LANGUAGE block")

        controls = []
        while not self.is_block_end(self.peek()):
            token = self.next()
            if token.kind == "end":
                self.error(keyword, f"{keyword.value.upper()} has no END")
            if not token.is_word("CONTROL"):
                self.error(token, f"expected CONTROL or END, found {token.describe()}; write controls as "
                                  "CONTROL statements with their full style")
            controls.append(self.dialog_control(extended))
        self.next()

        table = self.result["dialogs"].setdefault(language, {})
        if name in table:
            self.error(keyword, f"dialog {name} appears twice in language {language}")
        table[name] = {"extended": extended, "style": style, "exstyle": exstyle, "help_id": help_id,
                       "x": x, "y": y, "width": width, "height": height, "caption": caption, "font": font,
                       "controls": controls}


def parse(path):
    """The resources of a script: {"strings": {lang_id: {string_id: text}},
    "dialogs": {lang_id: {dialog_id: dialog}}, "symbols": {name: value}} for
    every #define with a numeric value.

    A dialog holds "extended" (DIALOGEX), "style", "exstyle", "help_id", "x",
    "y", "width", "height", "caption", "font" (None, or "size", "name",
    "weight", "italic", "charset"; the last three None for DIALOG) and
    "controls", each with "id", "class", "style", "exstyle", "help_id", "x",
    "y", "width", "height" and "text". Styles are the bits windres stores."""
    pre = Preprocessor()
    result = Parser(pre.read_file(path), pre).parse()
    symbols = {}
    for name, definition in pre.symbols.items():
        try:
            symbols[name] = pre.value_of(Token("name", name, path, 0))
        except RcError:
            pass  # not a number; unused by resources
    result["symbols"] = symbols
    return result


# --- C++ tables -------------------------------------------------------------


def cpp_string(text):
    """A narrow C++ literal holding the UTF-8 bytes of text.

    Bytes outside printable ASCII become three-digit octal escapes, which,
    unlike \\x, cannot run into the characters that follow."""
    out = ['"']
    for byte in text.encode("utf-8"):
        c = chr(byte)
        if c == "\n":
            out.append("\\n")
        elif c in '"\\':
            out.append("\\" + c)
        elif 0x20 <= byte < 0x7F:
            out.append(c)
        else:
            out.append(f"\\{byte:03o}")
    out.append('"')
    return "".join(out)


def cpp_source(resources, script):
    lines = [
        f"// Generated by tools/rcgen.py from {script}; edit the resource scripts instead.",
        '#include "platform/resources.h"',
        "",
        "namespace platform {",
        "",
    ]
    entries = [(language, string_id, text)
               for language, table in sorted(resources["strings"].items())
               for string_id, text in sorted(table.items())]
    lines.append("const StringResource STRING_RESOURCES[] = {")
    for language, string_id, text in entries:
        lines.append(f"    {{{language}, {string_id}, {cpp_string(text)}}},")
    if not entries:
        lines.append("    {0, 0, nullptr},  // an array may not be empty")
    lines.append("};")
    lines.append(f"const size_t STRING_RESOURCE_COUNT = {len(entries)};")
    lines.append("")
    lines += cpp_dialogs(resources["dialogs"])
    lines += ["", "}  // namespace platform", ""]
    return "\n".join(lines)


def cpp_dialogs(dialogs):
    entries = [(language, dialog_id, dialog)
               for language, table in sorted(dialogs.items())
               for dialog_id, dialog in sorted(table.items())]
    lines = []
    if entries:
        lines.append("namespace {")
        lines.append("")
    for language, dialog_id, dialog in entries:
        if not dialog["controls"]:
            continue
        lines.append(f"const DialogControlResource DIALOG_{dialog_id}_{language}_CONTROLS[] = {{")
        for control in dialog["controls"]:
            lines.append(f"    {{{control['id']}, {cpp_string(control['class'])}, {control['style']:#010x}u, "
                         f"{control['x']}, {control['y']}, {control['width']}, {control['height']}, "
                         f"{cpp_string(control['text'])}}},")
        lines.append("};")
        lines.append("")
    if entries:
        lines.append("}  // namespace")
        lines.append("")
    lines.append("const DialogResource DIALOG_RESOURCES[] = {")
    for language, dialog_id, dialog in entries:
        font = dialog["font"]
        controls = dialog["controls"]
        lines.append(f"    {{{language}, {dialog_id}, {dialog['style']:#010x}u, {dialog['x']}, {dialog['y']}, "
                     f"{dialog['width']}, {dialog['height']}, {cpp_string(dialog['caption'])}, "
                     f"{cpp_string(font['name']) if font else 'nullptr'}, {font['size'] if font else 0}, "
                     f"{f'DIALOG_{dialog_id}_{language}_CONTROLS' if controls else 'nullptr'}, {len(controls)}}},")
    if not entries:
        lines.append("    {0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, 0, nullptr, 0},  // an array may not be empty")
    lines.append("};")
    lines.append(f"const size_t DIALOG_RESOURCE_COUNT = {len(entries)};")
    return lines


def write_if_changed(path, content):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == content:
                return
    except OSError:
        pass
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(content)


def main(argv):
    arguments = argparse.ArgumentParser(description="Reads the editor's resource scripts.")
    arguments.add_argument("--cpp", metavar="OUT.cpp", help="write the native resource tables")
    arguments.add_argument("script", help="the top-level .rc file")
    options = arguments.parse_args(argv)
    try:
        resources = parse(options.script)
    except RcError as e:
        print(e, file=sys.stderr)
        return 1
    if options.cpp:
        # Named from its folder on, so the output does not depend on where the build runs.
        script = os.path.abspath(options.script)
        shown = os.path.join(os.path.basename(os.path.dirname(script)), os.path.basename(script))
        write_if_changed(options.cpp, cpp_source(resources, shown.replace(os.sep, "/")))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
