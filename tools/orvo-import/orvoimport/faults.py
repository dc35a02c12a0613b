"""The one exception every translator raises on bad or unsupported input."""


class ImportFault(Exception):
    """A fault in the source file, reported as file:line:col: message."""

    def __init__(self, path, line, col, message):
        super().__init__(message)
        self.path, self.line, self.col, self.message = path, line, col, message

    def render(self):
        return f"{self.path}:{self.line}:{self.col}: {self.message}"
