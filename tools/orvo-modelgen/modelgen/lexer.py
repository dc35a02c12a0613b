"""Characters to tokens, each carrying the line and column where it starts."""

from dataclasses import dataclass


class DescriptionError(Exception):
    """A fault in a model description, reported as file:line:col: message."""

    def __init__(self, where, message):
        super().__init__(message)
        self.where = where
        self.message = message

    def render(self):
        return f"{self.where}: {self.message}"


@dataclass(frozen=True)
class Position:
    path: str
    line: int
    col: int

    def __str__(self):
        return f"{self.path}:{self.line}:{self.col}"


@dataclass(frozen=True)
class Token:
    kind: str   # 'name', 'number', 'string', 'op' or 'end'
    text: str
    at: Position


# Only ASCII: other digits and letters (², é) are not numbers or names.
_DIGITS = frozenset("0123456789")
_LETTERS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_")

_OPERATORS = ("<=", ">=", "==", "!=", "&&", "||", "..",
              "{", "}", "(", ")", "[", "]", ";", ",", "=", ":", "+", "-", "*", "/",
              "<", ">", "!", "?", "@")


class Lexer:
    """Reads tokens on demand, so that the parser can take a unit's raw text."""

    def __init__(self, path, text):
        self.path = path
        self.text = text
        self.pos = 0
        self.line = 1
        self.col = 1
        self._peeked = None

    def _here(self):
        return Position(self.path, self.line, self.col)

    def _advance(self, count=1):
        for _ in range(count):
            if self.text[self.pos] == "\n":
                self.line += 1
                self.col = 1
            else:
                self.col += 1
            self.pos += 1

    def _skip_blanks_and_comments(self):
        text = self.text
        while self.pos < len(text):
            c = text[self.pos]
            if c in " \t\r\n":
                self._advance()
            elif c == "#" or text.startswith("//", self.pos):
                while self.pos < len(text) and text[self.pos] != "\n":
                    self._advance()
            elif text.startswith("/*", self.pos):
                start = self._here()
                end = text.find("*/", self.pos + 2)
                if end < 0:
                    raise DescriptionError(start, "unterminated comment")
                self._advance(end + 2 - self.pos)
            else:
                return

    def _scan(self):
        self._skip_blanks_and_comments()
        at = self._here()
        text = self.text
        if self.pos >= len(text):
            return Token("end", "", at)
        c = text[self.pos]
        if c in _LETTERS:
            end = self.pos
            while end < len(text) and (text[end] in _LETTERS or text[end] in _DIGITS):
                end += 1
            word = text[self.pos:end]
            self._advance(end - self.pos)
            return Token("name", word, at)
        if c in _DIGITS or (c == "." and self.pos + 1 < len(text) and text[self.pos + 1] in _DIGITS):
            return self._number(at)
        if c == '"':
            end = text.find('"', self.pos + 1)
            newline = text.find("\n", self.pos + 1)
            if end < 0 or (0 <= newline < end):
                raise DescriptionError(at, "unterminated string")
            value = text[self.pos + 1:end]
            self._advance(end + 1 - self.pos)
            return Token("string", value, at)
        for op in _OPERATORS:
            if text.startswith(op, self.pos):
                self._advance(len(op))
                return Token("op", op, at)
        raise DescriptionError(at, f"unexpected character '{c}'")

    def _number(self, at):
        text = self.text
        end = self.pos
        while end < len(text) and text[end] in _DIGITS:
            end += 1
        # `1..5` is a range: its first dot is no decimal point.
        if end < len(text) and text[end] == "." and not text.startswith("..", end):
            end += 1
            while end < len(text) and text[end] in _DIGITS:
                end += 1
        if end < len(text) and text[end] in "eE":
            exp = end + 1
            if exp < len(text) and text[exp] in "+-":
                exp += 1
            if exp < len(text) and text[exp] in _DIGITS:
                end = exp
                while end < len(text) and text[end] in _DIGITS:
                    end += 1
        if end < len(text) and (text[end].isalnum() or text[end] == "_"):
            raise DescriptionError(at, f"malformed number '{text[self.pos:end + 1]}'")
        word = text[self.pos:end]
        self._advance(end - self.pos)
        return Token("number", word, at)

    def peek(self):
        if self._peeked is None:
            self._peeked = self._scan()
        return self._peeked

    def next(self):
        token = self.peek()
        self._peeked = None
        return token

    def raw_until(self, closing):
        """The text up to `closing` (consumed), for units written as [mg/L]."""
        assert self._peeked is None
        start = self._here()
        end = self.text.find(closing, self.pos)
        newline = self.text.find("\n", self.pos)
        if end < 0 or (0 <= newline < end):
            raise DescriptionError(start, f"missing '{closing}'")
        raw = self.text[self.pos:end]
        self._advance(end + 1 - self.pos)
        return raw.strip()
