"""Tokens of a GNU MCSim model file, each with its line and column.

`#` starts a comment to the end of the line; the text of a comment that
follows a statement on the same line is kept, so that declarations can carry
it as their description. Everything after `End.` is ignored."""

import math
import re
from dataclasses import dataclass

from .faults import ImportFault


@dataclass(frozen=True)
class Token:
    kind: str    # 'name', 'number', 'string', 'op' or 'end'
    text: str
    line: int
    col: int


_OPERATORS = ("<=", ">=", "==", "!=", "&&", "||", "+=", "-=", "*=", "/=", "++", "--",
              "{", "}", "(", ")", "[", "]", ";", ",", "=", ":", "?", "+", "-", "*", "/",
              "<", ">", "!", "%", "^", ".", "&", "|")


# Names and numbers are C's: ASCII only (str.isdigit() would take '²').
_LETTERS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_")
_DIGITS = frozenset("0123456789")


def tokenize(path, text, strings=False):
    """The tokens and, per line, the comment text written on it; with `strings`,
    double-quoted strings are tokens of kind 'string'."""
    tokens, comments = [], {}
    # A byte-order mark, as some editors write, and Windows' or old Macs' line ends.
    text = text.removeprefix("\ufeff").replace("\r\n", "\n").replace("\r", "\n")
    i, line, col, n = 0, 1, 1, len(text)

    def fault(message, at_line=None, at_col=None):
        return ImportFault(path, at_line or line, at_col or col, message)

    while i < n:
        c = text[i]
        if c == "\n":
            i, line, col = i + 1, line + 1, 1
            continue
        if c in " \t\r\f\v":
            i, col = i + 1, col + 1
            continue
        if c == "#":
            end = text.find("\n", i)
            end = n if end < 0 else end
            comments[line] = text[i + 1:end].strip()
            if re.match(r"include\s*[\"<]", comments[line]):
                # A comment to a C preprocessor that does not see this file.
                raise fault("'#include' is not supported: copy the included file's content "
                            "into this file")
            col += end - i
            i = end
            continue
        if c in _LETTERS:
            j = i
            while j < n and (text[j] in _LETTERS or text[j] in _DIGITS):
                j += 1
            word = text[i:j]
            k = j
            while k < n and text[k] in " \t\n":
                k += 1
            if word == "Inline" and not strings and k < n and text[k] == "(":
                # C code up to the matching parenthesis, strings and all: one token.
                k, depth = k + 1, 1
                while k < n and depth:
                    if text[k] == '"':
                        k = text.find('"', k + 1)
                        if k < 0:
                            break
                    depth += {"(": 1, ")": -1}.get(text[k], 0)
                    k += 1
                if depth:
                    raise fault("the Inline statement is not closed")
                tokens.append(Token("inline", text[i:k], line, col))
                line += text.count("\n", i, k)
                col = k - text.rfind("\n", i, k) if "\n" in text[i:k] else col + k - i
                i = k
                continue
            tokens.append(Token("name", word, line, col))
            col += j - i
            i = j
            if tokens[-1].text in ("End", "END"):
                # `End.` closes the model; what follows is not read.
                k = i
                while k < n and text[k] in " \t":
                    k += 1
                if k < n and text[k] == ".":
                    tokens.append(Token("op", ".", line, col + k - i))
                    break
            continue
        if c in _DIGITS or (c == "." and i + 1 < n and text[i + 1] in _DIGITS):
            j = i
            while j < n and text[j] in _DIGITS:
                j += 1
            if j < n and text[j] == ".":
                j += 1
                while j < n and text[j] in _DIGITS:
                    j += 1
            if j < n and text[j] in "eE":
                k = j + 1
                if k < n and text[k] in "+-":
                    k += 1
                if k < n and text[k] in _DIGITS:
                    j = k
                    while j < n and text[j] in _DIGITS:
                        j += 1
                else:
                    raise fault(f"malformed number '{text[i:k]}'")
            if j < n and text[j] in _LETTERS:
                raise fault(f"malformed number '{text[i:j + 1]}'")
            if not math.isfinite(float(text[i:j])):
                raise fault(f"the number '{text[i:j]}' is beyond the range of doubles")
            tokens.append(Token("number", text[i:j], line, col))
            col += j - i
            i = j
            continue
        if c == '"' and strings:
            end = text.find('"', i + 1)
            newline = text.find("\n", i + 1)
            if end < 0 or 0 <= newline < end:
                raise fault("unterminated string")
            tokens.append(Token("string", text[i + 1:end], line, col))
            col += end + 1 - i
            i = end + 1
            continue
        if c == '"' or c == "'":
            listing = next((t.text for t in reversed(tokens[-12:]) if t.kind == "name"
                            and t.text in ("SBMLModels", "PKTemplate")), None)
            if listing:
                raise fault(f"'{listing}' is not supported: it has mod build a model from SBML "
                            "files; write the model out as an MCSim model file")
            raise fault("strings have no place in a model file (a simulation file is read "
                        "as one when its name ends in .in)")
        for op in _OPERATORS:
            if text.startswith(op, i):
                tokens.append(Token("op", op, line, col))
                i += len(op)
                col += len(op)
                break
        else:
            shown = f"'{c}'" if c.isprintable() else f"U+{ord(c):04X}"
            raise fault(f"unexpected character {shown}")
    tokens.append(Token("end", "", line, col))
    return tokens, comments
