"""Parses a GNU MCSim model file into declarations, sections and expressions.

Expressions are tuples: ('num', text), ('name', name), ('call', name, args),
('dt', state), ('un', op, operand), ('bin', op, left, right) and
('cond', test, if_true, if_false); every node carries its token last."""

from dataclasses import dataclass, field

from .faults import ImportFault
from .mcsim_lexer import tokenize

DECLARATION_KEYWORDS = ("States", "Inputs", "Outputs")
SECTION_KEYWORDS = ("Initialize", "Scale", "Dynamics", "CalcOutputs", "Jacobian", "Events",
                    "Roots")
SIMULATION_KEYWORDS = ("Integrate", "Simulation", "Experiment", "MonteCarlo", "SetPoints",
                       "Distrib", "Print", "PrintStep", "Data", "MCMC", "Level",
                       "OutputFile", "StartTime", "SimType")
INPUT_FUNCTIONS = ("PerDose", "PerExp", "PerTransit", "NDoses", "Spikes")
# Parentheses, calls, signs and conditionals an expression may nest, as in our language.
MAX_NESTING = 100

_INLINE = "'Inline' is not supported: write its content out in the model file"
_ARRAYS = "arrays are not supported: declare one variable per element"
_C_TYPES = ("double", "float", "int", "long", "short", "char", "unsigned", "signed")
_COMPARISONS = ("<", "<=", ">", ">=", "==", "!=")
_UNSUPPORTED_OPERATORS = {
    "%": "the remainder operator '%' is not supported: our language has no exact remainder",
    "^": "'^' is C's exclusive or, not a power: write pow(a, b)",
    "&": "bitwise '&' is not supported: use '&&' for a logical and",
    "|": "bitwise '|' is not supported: use '||' for a logical or",
}


@dataclass
class Statement:
    target: str
    derivative: bool        # dt(target) = expr
    expr: tuple
    token: object


@dataclass
class Global:
    """`Name = expr;` or `Name;` in the global part of the file."""
    name: str
    expr: tuple             # None for a bare declaration
    token: object


@dataclass
class McsimModel:
    path: str
    declared: dict = field(default_factory=dict)   # name -> (kind, token), kind state/input/output
    order: list = field(default_factory=list)      # declared names in the order written
    globals: list = field(default_factory=list)
    sections: dict = field(default_factory=dict)   # 'Initialize'/'Dynamics'/'CalcOutputs' -> [Statement]
    section_tokens: dict = field(default_factory=dict)
    dropped: list = field(default_factory=list)    # (token, note) for what was left out
    comments: dict = field(default_factory=dict)   # line -> comment text


class Parser:
    def __init__(self, path, text):
        self.path = path
        self.tokens, comments = tokenize(path, text)
        self.pos = 0
        self.depth = 0
        self.model = McsimModel(path, comments=comments)

    # token helpers
    def fault(self, token, message):
        return ImportFault(self.path, token.line, token.col, message)

    def peek(self, ahead=0):
        return self.tokens[min(self.pos + ahead, len(self.tokens) - 1)]

    def next(self):
        token = self.peek()
        self.pos += 1
        return token

    def is_op(self, text, ahead=0):
        token = self.peek(ahead)
        return token.kind == "op" and token.text == text

    def expect(self, text, context=""):
        token = self.next()
        if token.kind != "op" or token.text != text:
            raise self.fault(token, f"expected '{text}'{context}, found {describe(token)}")
        return token

    def name(self, what):
        token = self.next()
        if token.kind != "name":
            raise self.fault(token, f"expected {what}, found {describe(token)}")
        return token

    # the file
    def parse(self):
        m = self.model
        while True:
            token = self.next()
            if token.kind == "end":
                return m
            if token.kind == "op" and token.text == ";":
                continue   # an empty statement, as after a section's closing brace
            if token.kind == "inline":
                raise self.fault(token, _INLINE)
            if token.kind != "name":
                raise self.fault(token, f"expected a declaration or a section, found {describe(token)}")
            word = token.text
            if word in ("End", "END"):
                self.expect(".", " after End")
                return m
            if word in DECLARATION_KEYWORDS and self.is_op("="):
                self.declaration_list(token)
            elif word in SECTION_KEYWORDS and self.is_op("{"):
                self.section(token)
            elif word in SIMULATION_KEYWORDS and (self.is_op("(") or self.is_op("{")):
                raise self.fault(token, f"'{word}' belongs in a simulation file (.in), not in a "
                                        "model file: move it there (a simulation file is read "
                                        "as one when its name ends in .in)")
            elif word in ("Compartments", "Inline", "Include", "#include"):
                raise self.fault(token, f"'{word}' is not supported: write its content out in "
                                        "the model file")
            elif self.is_op("{"):
                raise self.fault(token, f"unknown section '{word}': the sections are "
                                        + ", ".join(SECTION_KEYWORDS))
            elif self.is_op("["):
                raise self.fault(self.peek(), _ARRAYS)
            elif self.is_op(";"):
                self.next()
                m.globals.append(Global(word, None, token))
            elif self.is_op("="):
                self.next()
                expr = self.expression()
                self.end_statement()
                m.globals.append(Global(word, expr, token))
            else:
                raise self.fault(self.peek(), f"expected '=' or ';' after '{word}', found "
                                              f"{describe(self.peek())}")

    def end_statement(self):
        token = self.peek()
        if token.kind == "op" and token.text in _UNSUPPORTED_OPERATORS:
            raise self.fault(token, _UNSUPPORTED_OPERATORS[token.text])
        self.expect(";", " at the end of the statement")

    def declaration_list(self, keyword):
        self.expect("=")
        self.expect("{", f" to open the list of {keyword.text}")
        kind = {"States": "state", "Inputs": "input", "Outputs": "output"}[keyword.text]
        while True:
            if self.is_op("}"):
                # An empty list, or a comma after the last name, as mod takes them.
                self.next()
                break
            token = self.name(f"a name in the list of {keyword.text}")
            if token.text in self.model.declared:
                raise self.fault(token, f"'{token.text}' is declared twice")
            if self.is_op("="):
                raise self.fault(self.peek(), "give defaults as separate statements after the "
                                              "declaration list (Name = value;)")
            if self.is_op("["):
                raise self.fault(self.peek(), _ARRAYS)
            self.model.declared[token.text] = (kind, token)
            self.model.order.append(token.text)
            if self.is_op(","):
                self.next()
                continue
            self.expect("}", f" or ',' in the list of {keyword.text}")
            break
        if self.is_op(";"):
            self.next()

    def section(self, keyword):
        word = keyword.text
        m = self.model
        if word == "Events":
            raise self.fault(keyword, "'Events' sections are not supported: when they run is "
                                      "given outside the model file (by the caller, as R's "
                                      "deSolve does with its events argument), so the file "
                                      "alone cannot be translated. Remove the section and give "
                                      "the changes as dose records at their times (orvo run "
                                      "--doses FILE.csv: a line time,target,amount adds the "
                                      "amount to a state), or, for an input that steps at "
                                      "known times, an NDoses input")
        if word == "Roots":
            raise self.fault(keyword, "'Roots' sections are not supported: what a root does "
                                      "(end the run or trigger an event) is decided outside the "
                                      "model file, so the file alone cannot be translated. "
                                      "Remove the section, import, and add to the translated "
                                      "description a state event at the root, EXPR being the "
                                      "root function: discrete NAME when EXPR rising { ... } (or "
                                      "falling, crosses)")
        name = "Initialize" if word == "Scale" else word
        if name in m.sections:
            raise self.fault(keyword, f"a second {word} section: merge it into the one at line "
                                      f"{m.section_tokens[name].line}")
        self.expect("{")
        if word == "Jacobian":
            depth = 1
            while depth:
                token = self.next()
                if token.kind == "end":
                    raise self.fault(keyword, "the Jacobian section is not closed")
                if token.kind == "op" and token.text in "{}":
                    depth += 1 if token.text == "{" else -1
            m.dropped.append((keyword, "the Jacobian section is left out: the generator derives "
                                       "the Jacobian from the equations"))
            m.section_tokens[name] = keyword
            return
        body = []
        while not self.is_op("}"):
            if self.peek().kind == "end":
                raise self.fault(keyword, f"the {word} section is not closed")
            if self.is_op(";"):
                self.next()
                continue
            body.append(self.statement(word))
        self.next()
        m.sections[name] = body
        m.section_tokens[name] = keyword

    def statement(self, section):
        if self.peek().kind == "inline":
            raise self.fault(self.peek(), _INLINE)
        token = self.name("an assignment")
        if token.text in ("for", "while", "do"):
            raise self.fault(token, f"'{token.text}' loops are not supported: write each "
                                    "statement out")
        if token.text in ("if", "else", "switch", "return"):
            raise self.fault(token, f"'{token.text}' statements are not supported: write a "
                                    "conditional expression (test ? a : b)")
        if token.text in ("double", "int", "float", "long"):
            raise self.fault(token, "C declarations are not supported: assign the local "
                                    "variable directly (Name = value;)")
        derivative = False
        target = token
        if token.text == "dt" and self.is_op("("):
            self.next()
            target = self.name("a state's name")
            if self.is_op("["):
                raise self.fault(self.peek(), _ARRAYS)
            self.expect(")")
            derivative = True
        if self.is_op("["):
            raise self.fault(self.peek(), _ARRAYS)
        op = self.peek()
        if op.kind == "op" and op.text in ("+=", "-=", "*=", "/=", "++", "--"):
            raise self.fault(op, f"'{op.text}' is not supported: assign each value once, to its "
                                 "own name")
        self.expect("=", f" in the {section} section")
        expr = self.expression()
        self.end_statement()
        return Statement(target.text, derivative, expr, target)

    # expressions, by C precedence
    def expression(self):
        test = self.binary(0)
        if self.is_op("?"):
            token = self.next()
            self.nest(token)
            if_true = self.expression()
            self.expect(":", " in the conditional expression")
            if_false = self.expression()
            self.depth -= 1
            return ("cond", test, if_true, if_false, token)
        return test

    def nest(self, token):
        self.depth += 1
        if self.depth > MAX_NESTING:
            raise self.fault(token, f"the expression nests deeper than {MAX_NESTING} levels of "
                                    "parentheses, calls and signs: give parts of it names of "
                                    "their own")

    _LEVELS = (("||",), ("&&",), ("==", "!="), ("<", "<=", ">", ">="), ("+", "-"), ("*", "/"))

    def binary(self, level):
        if level == len(self._LEVELS):
            return self.unary()
        left = self.binary(level + 1)
        while True:
            token = self.peek()
            if token.kind != "op":
                return left
            if token.text in _UNSUPPORTED_OPERATORS:
                raise self.fault(token, _UNSUPPORTED_OPERATORS[token.text])
            if token.text not in self._LEVELS[level]:
                return left
            self.next()
            left = ("bin", token.text, left, self.binary(level + 1), token)

    def unary(self):
        token = self.peek()
        if token.kind == "op" and token.text in ("-", "+", "!"):
            self.next()
            self.nest(token)
            operand = self.unary()
            self.depth -= 1
            return ("un", token.text, operand, token)
        if token.kind == "op" and token.text in ("++", "--"):
            raise self.fault(token, f"'{token.text}' is not supported in an expression")
        return self.primary()

    def primary(self):
        token = self.next()
        if token.kind == "number":
            return ("num", token.text, token)
        if token.kind == "name":
            if self.is_op("("):
                self.next()
                self.nest(token)
                args = []
                if not self.is_op(")"):
                    args.append(self.expression())
                    while self.is_op(","):
                        self.next()
                        args.append(self.expression())
                self.expect(")", f" to close the arguments of {token.text}()")
                self.depth -= 1
                if token.text == "dt":
                    if len(args) != 1 or args[0][0] != "name":
                        raise self.fault(token, "dt() takes one state's name")
                    return ("dt", args[0][1], token)
                return ("call", token.text, args, token)
            if self.is_op("["):
                raise self.fault(self.peek(), _ARRAYS)
            return ("name", token.text, token)
        if token.kind == "op" and token.text == "(":
            cast = self.peek()
            if cast.kind == "name" and cast.text in _C_TYPES and self.is_op(")", 1):
                raise self.fault(cast, f"C casts are not supported: every value is a double, "
                                       f"so remove '({cast.text})'"
                                       + ("" if cast.text == "double" else
                                          ", and write the whole numbers meant with floor() "
                                          "or ceil()"))
            self.nest(token)
            inner = self.expression()
            self.expect(")")
            self.depth -= 1
            return inner
        raise self.fault(token, f"expected an expression, found {describe(token)}")


def describe(token):
    if token.kind == "end":
        return "the end of the file"
    return f"'{token.text}'"


def parse(path, text):
    return Parser(path, text).parse()
