#!/usr/bin/env python3
r"""Generated mutants of the security code, at the level of the source text.

Reads the C++ sources of secureload/, runtime/, probe/ and caller/ and lists
small faults of the kinds a reviewer misses, one edit each:

  ror     a relational operator replaced: by its neighbour (< <=, > >=, == !=)
          and by the rest of the set that subsumes every other replacement
          (< by != and false, > by != and false, <= by == and true, >= by ==
          and true, == by <= >= and false, != by < > and true; the order
          replacements are not made beside nullptr, which does not compile)
  const   an integer constant in a comparison, an array size or a named
          constant moved by one (up, and down when above 0)
  neg     the condition of an if or while negated
  logic   && and || exchanged
  guard   a guarding `if (...) return/continue/break ...;` removed
  ignore  a guard's check made but its result ignored (the call stays)
  flag    one flag dropped from an OR of flags
  bound   the bound of a for or while loop moved by one
  ret     a returned success or failure flipped (true/false, 0/error code)
  failopen  in the signer proof, the nested binding and the gates, a refusal
          returned as the acceptance: a refusing verdict as kNestedBound, the
          refusing arm of a returned `? 1 : 0` or `? true : false` as the
          accepting one (plain `return false` and `return 0` are `ret`)

Headers are read for their constants alone: a named constant at namespace or
class level (`constexpr ... = N;`, `= N * ...`) moved by one, as `const`.

The list is a function of the text alone: the same tree gives the same
mutants in the same order. A mutant's id is made of its file, the function it
sits in, its operator and a hash of the tokens around the change with the
replacement; an ordinal follows only when that key repeats in one function.
Ids therefore survive edits elsewhere in a file, and code that moves.

Usage: scripts/mutants.py [--list] [FILE...]   (prints id, file, function, change)
"""

import hashlib
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ("secureload", "runtime", "probe", "caller")
# Built only for Windows (the exe's entry point, the diagnostic companion and
# the caller's process handling): the host suite cannot reach them, so they are
# not mutated and stay out of the rates.
WINDOWS_ONLY = ("probe/main.cpp", "probe/diag_main.cpp", "caller/probe_caller.cpp")

TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<pre>^[ \t]*\#(?:[^\n]*\\\n)*[^\n]*)
  | (?P<string>(?:u8|[uUL])?R"(?P<delim>[^(\s]*)\(.*?\)(?P=delim)"|(?:u8|[uUL])?"(?:[^"\\\n]|\\.)*")
  | (?P<char>(?:u8|[uUL])?'(?:[^'\\\n]|\\.)*')
  | (?P<number>(?:0[xX][0-9a-fA-F']+|[0-9][0-9']*\.?[0-9']*(?:[eE][+-]?[0-9]+)?)[uUlLfF]*)
  | (?P<ident>[A-Za-z_][A-Za-z_0-9]*)
  | (?P<op>::|->|\+\+|--|<<=|>>=|<=|>=|==|!=|&&|\|\||<<|>>|[-+*/%&|^!=<>]=?|[(){}\[\];,.?:~#])
""", re.X | re.S | re.M)


class Tok:
    __slots__ = ("kind", "text", "start", "end")

    def __init__(self, kind, text, start, end):
        self.kind, self.text, self.start, self.end = kind, text, start, end


def tokenize(text):
    tokens = []
    pos = 0
    while pos < len(text):
        match = TOKEN.match(text, pos)
        if not match:
            raise ValueError(f"cannot read the source at offset {pos}: {text[pos:pos + 20]!r}")
        kind = match.lastgroup if match.lastgroup != "delim" else "string"
        if kind not in ("space", "comment", "pre"):
            tokens.append(Tok(kind, match.group(0), match.start(), match.end()))
        pos = match.end()
    return tokens


def matching(tokens, i):
    """The index of the bracket that closes the one at i."""
    opening = tokens[i].text
    closing = {"(": ")", "[": "]", "{": "}"}[opening]
    depth = 0
    for j in range(i, len(tokens)):
        if tokens[j].text == opening:
            depth += 1
        elif tokens[j].text == closing:
            depth -= 1
            if depth == 0:
                return j
    raise ValueError(f"unbalanced {opening} at offset {tokens[i].start}")


def opening_of(tokens, j):
    closing = tokens[j].text
    opening = {")": "(", "]": "[", "}": "{"}[closing]
    depth = 0
    for i in range(j, -1, -1):
        if tokens[i].text == closing:
            depth += 1
        elif tokens[i].text == opening:
            depth -= 1
            if depth == 0:
                return i
    raise ValueError(f"unbalanced {closing} at offset {tokens[j].start}")


CONTROL = {"if", "for", "while", "switch", "catch", "return", "sizeof", "alignof", "decltype"}
TEMPLATE_WORDS = {"static_cast", "reinterpret_cast", "const_cast", "template", "ProcAs",
                  "numeric_limits", "vector", "array", "unique_ptr", "basic_string", "pair"}


def function_names(tokens):
    """For each token, the name of the function whose body holds it ('' at
    namespace level). A body is a { after `name(...)` and optional qualifiers
    or a constructor's initialiser list."""
    names = [""] * len(tokens)
    stack = []  # one entry per open brace: the function name it opens, or None
    current = ""
    for i, tok in enumerate(tokens):
        if tok.text == "{":
            name = None
            if not current:
                name = body_name(tokens, i)
            stack.append(name)
            if name:
                current = name
        names[i] = current
        if tok.text == "}" and stack:
            if stack.pop():
                current = ""
    return names


def body_name(tokens, i):
    j = i - 1
    while j >= 0 and tokens[j].text in ("const", "noexcept", "override", "final"):
        j -= 1
    if j < 0 or tokens[j].text != ")":
        return None
    # A constructor's initialiser list: step back over `member(...)` items.
    start = opening_of(tokens, j)
    while start >= 2 and tokens[start - 1].kind == "ident" and tokens[start - 2].text in (",", ":") \
            and tokens[start - 2].text != "::":
        k = start - 3
        if tokens[start - 2].text == ":" and k >= 0 and tokens[k].text == ")":
            start = opening_of(tokens, k)
            break
        if tokens[start - 2].text == "," and k >= 0 and tokens[k].text == ")":
            start = opening_of(tokens, k)
            continue
        break
    if start < 1 or tokens[start - 1].kind != "ident" or tokens[start - 1].text in CONTROL:
        return None
    name = tokens[start - 1].text
    k = start - 2
    while k >= 1 and tokens[k].text == "::" and tokens[k - 1].kind == "ident":
        name = tokens[k - 1].text + "::" + name
        k -= 2
    return name


def is_template_bracket(tokens, i):
    """Whether the < at i opens a template argument list."""
    if i > 0 and tokens[i - 1].text in TEMPLATE_WORDS:
        return True
    depth = 0
    for j in range(i, min(len(tokens), i + 40)):
        t = tokens[j].text
        if t == "<":
            depth += 1
        elif t == ">":
            depth -= 1
            if depth == 0:
                return j + 1 < len(tokens) and tokens[j + 1].text in ("(", "::", "{", ">", ")", "*", "&") \
                    or (j + 1 < len(tokens) and tokens[j + 1].kind == "ident")
        elif t == ">>":
            return True
        elif not (tokens[j].kind in ("ident", "number") or t in ("::", "*", "&", ",", "const")):
            return False
    return False


def closing_template(tokens, i):
    return tokens[i].text == ">" and any(
        tokens[k].text == "<" and is_template_bracket(tokens, k) and template_end(tokens, k) == i
        for k in range(max(0, i - 40), i))


def template_end(tokens, i):
    depth = 0
    for j in range(i, len(tokens)):
        if tokens[j].text == "<":
            depth += 1
        elif tokens[j].text == ">":
            depth -= 1
            if depth == 0:
                return j
    return -1


def operand_span(tokens, i, step):
    """From the operator at i, the tokens of its operand in direction step,
    stopping at &&, ||, ?, :, ;, a comma or an unmatched bracket."""
    j = i + step
    depth = 0
    last = i
    while 0 <= j < len(tokens):
        t = tokens[j].text
        if t in ("(", "[") and step > 0 or t in (")", "]") and step < 0:
            depth += 1
        elif t in (")", "]") and step > 0 or t in ("(", "[") and step < 0:
            if depth == 0:
                break
            depth -= 1
        elif depth == 0 and t in ("&&", "||", "?", ":", ";", ",", "{", "}", "=", "return"):
            break
        last = j
        j += step
    return (last, i) if step < 0 else (i, last)


def moved(number, delta):
    text = number.text
    suffix = re.search(r"[uUlL]*$", text).group(0)
    body = text[:len(text) - len(suffix)].replace("'", "")
    try:
        value = int(body, 16) if body.lower().startswith("0x") else int(body, 8 if len(body) > 1 and body.startswith("0") else 10)
    except ValueError:
        return None
    value += delta
    if value < 0:
        return None
    if body.lower().startswith("0x"):
        return "0x%0*X" % (len(body) - 2, value) + suffix
    return str(value) + suffix


def statement_end(tokens, i):
    """The index of the last token of the statement starting at i."""
    if tokens[i].text == "{":
        return matching(tokens, i)
    if tokens[i].text in ("if", "while", "for"):
        close = matching(tokens, i + 1)
        end = statement_end(tokens, close + 1)
        if tokens[i].text == "if" and end + 1 < len(tokens) and tokens[end + 1].text == "else":
            end = statement_end(tokens, end + 2)
        return end
    depth = 0
    for j in range(i, len(tokens)):
        t = tokens[j].text
        if t in ("(", "[", "{"):
            depth += 1
        elif t in (")", "]", "}"):
            depth -= 1
        elif t == ";" and depth == 0:
            return j
    return len(tokens) - 1


def guard_body(tokens, first, last):
    """Whether the statement tokens[first..last] ends by leaving: a return,
    continue or break as its last statement."""
    if tokens[first].text == "{":
        first, last = first + 1, last - 1
        if last < first:
            return False
        # the last statement of the block
        j = first
        while True:
            end = statement_end(tokens, j)
            if end >= last:
                break
            j = end + 1
        first = j
    return tokens[first].text in ("return", "continue", "break")


# Where a refusal returned as the acceptance is a door: the signer proof, the
# nested binding and the gates.
FAIL_OPEN_FILES = ("secureload/signer_proof.cpp", "secureload/nested_binding.cpp",
                   "secureload/signer_policy.cpp", "secureload/pinned_chain.cpp",
                   "secureload/signer_name_chains.cpp")
NESTED_REFUSALS = ("kNestedSignatureInvalid", "kNestedNotThisFile", "kNestedChainUntrusted",
                   "kNestedUncheckable")
# The relational replacements beyond the neighbour swap: together they subsume
# every other replacement of the operator.
ROR_MORE = {"<": ("!=",), ">": ("!=",), "<=": ("==",), ">=": ("==",),
            "==": ("<=", ">="), "!=": ("<", ">")}
ROR_CONSTANT = {"<": "false", ">": "false", "<=": "true", ">=": "true", "==": "false", "!=": "true"}

ERROR_RETURN = re.compile(r"^(ERROR_[A-Z_]+|E_[A-Z_]+|TRUST_E_[A-Z_]+|CERT_E_[A-Z_]+|CRYPT_E_[A-Z_]+|NTE_[A-Z_]+)$")


def mutants_of(path, text):
    tokens = tokenize(text)
    names = function_names(tokens)
    local = {n.rsplit("::", 1)[-1] for n in names if n}
    found = []  # (op, first token, last token, start, end, replacement)

    def add(op, i, j, start, end, replacement):
        if names[i]:
            found.append((op, i, j, start, end, replacement))

    header = path.endswith(".h")
    fail_open = path in FAIL_OPEN_FILES
    for i, tok in enumerate(tokens):
        if header:
            break
        if fail_open and tok.text == "return":
            end = statement_end(tokens, i)
            for k in range(i + 1, end):
                if tokens[k].text in NESTED_REFUSALS:
                    add("failopen", k, k, tokens[k].start, tokens[k].end, "kNestedBound")
            # return ... ? 1 : 0;  and  ? true : false;
            if end - i >= 5 and tokens[end - 2].text == ":" and tokens[end - 4].text == "?":
                accept, refuse = tokens[end - 3].text, tokens[end - 1].text
                if (accept, refuse) in (("1", "0"), ("true", "false"), ("TRUE", "FALSE")):
                    add("failopen", end - 1, end - 1, tokens[end - 1].start, tokens[end - 1].end, accept)
        t = tok.text
        prev = tokens[i - 1].text if i else ""
        # ror
        if t in ("<", "<=", ">", ">=", "==", "!="):
            if t == "<" and is_template_bracket(tokens, i):
                continue
            if t == ">" and closing_template(tokens, i):
                continue
            if prev == "operator":
                continue
            swap = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}[t]
            add("ror", i, i, tok.start, tok.end, swap)
            lo, _ = operand_span(tokens, i, -1)
            _, hi = operand_span(tokens, i, 1)
            beside_null = "nullptr" in (tokens[i - 1].text, tokens[i + 1].text)
            for more in ROR_MORE[t]:
                if more in ("<", ">", "<=", ">=") and beside_null:
                    continue
                add("ror", i, i, tok.start, tok.end, more)
            if lo < i < hi:
                add("ror", lo, hi, tokens[lo].start, tokens[hi].end, ROR_CONSTANT[t])
            # const: integer literals in either operand
            for lo, hi in (operand_span(tokens, i, -1), operand_span(tokens, i, 1)):
                depth = 0
                for k in range(lo, hi + 1):
                    if tokens[k].text in ("(", "["):
                        depth += 1
                    elif tokens[k].text in (")", "]"):
                        depth -= 1
                    # only the operand's own terms: not an index or an argument
                    if tokens[k].kind == "number" and k != i and depth == 0:
                        for delta in (1, -1):
                            value = moved(tokens[k], delta)
                            if value is not None:
                                add("const", k, k, tokens[k].start, tokens[k].end, value)
        # const: the size in an array's declaration
        if tok.kind == "number" and prev == "[" and i + 2 < len(tokens) and tokens[i + 1].text == "]" \
                and tokens[i + 2].text in (";", "=", "{", "[") and tokens[i - 2].kind == "ident" \
                and (tokens[i - 3].kind == "ident" or tokens[i - 3].text in ("*", "&", ">")):
            for delta in (1, -1):
                value = moved(tok, delta)
                if value is not None:
                    add("const", i, i, tok.start, tok.end, value)
        # logic
        if t in ("&&", "||"):
            add("logic", i, i, tok.start, tok.end, "||" if t == "&&" else "&&")
        # flag: A | B | ... with plain names
        if t == "|" and i > 0 and i + 1 < len(tokens):
            left, right = tokens[i - 1], tokens[i + 1]
            if left.kind == "ident" and left.text.isupper() and right.kind == "ident" and right.text.isupper():
                # drop the right-hand flag: `| B`
                add("flag", i, i + 1, tok.start, right.end, "")
                # the leftmost flag of the chain is dropped as `A |`
                if i < 2 or tokens[i - 2].text != "|":
                    add("flag", i - 1, i, left.start, tokens[i + 1].start, "")
        # neg, guard, ignore, bound
        if t in ("if", "while") and i + 1 < len(tokens) and tokens[i + 1].text == "(" and prev != "else" or \
                t == "if" and prev == "else":
            open_ = i + 1
            close = matching(tokens, open_)
            inner = text[tokens[open_ + 1].start:tokens[close - 1].end]
            if t == "if" and tokens[open_ + 1].text in ("const", "auto", "DWORD", "BOOL", "HRESULT", "LONG"):
                pass  # an if with an initialiser: the parts are mutated by the other operators
            else:
                add("neg", open_, close, tokens[open_].start, tokens[close].end, f"(!({inner}))")
                if t == "while":
                    bound_mutants(tokens, open_ + 1, close - 1, text, add)
            if t == "if":
                body_end = statement_end(tokens, close + 1)
                has_else = body_end + 1 < len(tokens) and tokens[body_end + 1].text == "else"
                if not has_else and prev != "else" and guard_body(tokens, close + 1, body_end):
                    add("guard", i, body_end, tok.start, tokens[body_end].end, ";")
                    # A call to something this file does not define (the
                    # platform, another part): its result ignored, the call made.
                    has_call = any(tokens[k].kind == "ident" and tokens[k + 1].text == "("
                                   and tokens[k].text not in local
                                   for k in range(open_ + 1, close))
                    if has_call and tokens[open_ + 1].text not in ("const", "auto", "DWORD", "BOOL"):
                        add("ignore", i, body_end, tok.start, tokens[body_end].end, f"(void)({inner});")
        if t == "for" and i + 1 < len(tokens) and tokens[i + 1].text == "(":
            close = matching(tokens, i + 1)
            semis = [k for k in range(i + 2, close) if tokens[k].text == ";"]
            if len(semis) == 2 and semis[1] > semis[0] + 1:
                bound_mutants(tokens, semis[0] + 1, semis[1] - 1, text, add)
        # ret
        if t == "return" and i + 2 < len(tokens) and tokens[i + 2].text == ";":
            value = tokens[i + 1]
            flip = {"true": "false", "false": "true", "TRUE": "FALSE", "FALSE": "TRUE",
                    "0": "1", "S_OK": "E_FAIL"}.get(value.text)
            if flip is None and (ERROR_RETURN.match(value.text) or re.match(r"^k[A-Z]\w*(Error|Failed|Refused)\w*$", value.text)):
                flip = "0"
            if flip is None and value.text == "nullptr":
                flip = None
            if flip:
                add("ret", i + 1, i + 1, value.start, value.end, flip)

    # named constants at namespace level: constexpr/const ... = N;
    for i, tok in enumerate(tokens):
        if tok.kind == "number" and not names[i] and i >= 1 and tokens[i - 1].text == "=" \
                and i + 1 < len(tokens) and tokens[i + 1].text in (";", "+", "-", "*"):
            for delta in (1, -1):
                value = moved(tok, delta)
                if value is not None:
                    found.append(("const", i, i, tok.start, tok.end, value))
    return tokens, names, found


def bound_mutants(tokens, first, last, text, add):
    """The right-hand side of the loop condition's comparison moved by one."""
    for k in range(first, last + 1):
        if tokens[k].text in ("<", "<=", ">", ">=", "!=") and not is_template_bracket(tokens, k):
            lo, hi = operand_span(tokens, k, 1)
            if hi > k and not (hi == k + 1 and tokens[hi].kind == "number") and \
                    not (hi == k + 1 and tokens[hi].text == "nullptr"):
                rhs = text[tokens[k + 1].start:tokens[hi].end]
                for sign in ("+", "-"):
                    add("bound", k + 1, hi, tokens[k + 1].start, tokens[hi].end, f"({rhs}) {sign} 1")
            return


def source_files(root=ROOT):
    files = []
    for folder in FOLDERS:
        base = os.path.join(root, folder)
        if not os.path.isdir(base):
            continue
        for name in sorted(os.listdir(base)):
            path = f"{folder}/{name}"
            if name.endswith((".cpp", ".h")) and path not in WINDOWS_ONLY:
                files.append(path)
    return files


def folder_of(path):
    return path.split("/", 1)[0]


def generate(root=ROOT, files=None, texts=None):
    """Every mutant of the tree at root (or of the texts given, path -> text),
    in a fixed order: dicts with id, file, function, op, start, end, original,
    replacement, line."""
    result = []
    for path in files or source_files(root):
        if texts is not None:
            text = texts[path]
        else:
            with open(os.path.join(root, path), encoding="utf-8") as f:
                text = f.read()
        tokens, names, found = mutants_of(path, text)
        seen = {}
        found.sort(key=lambda m: (m[3], m[4], m[0], m[5]))
        emitted = set()
        for op, i, j, start, end, replacement in found:
            if (start, end, replacement) in emitted:
                continue
            emitted.add((start, end, replacement))
            lo, hi = max(0, i - 4), min(len(tokens) - 1, j + 4)
            context = " ".join(tokens[k].text for k in range(lo, hi + 1))
            function = (names[i] or "-").replace("::", ".")
            digest = hashlib.sha1(f"{op}\0{context}\0{replacement}".encode()).hexdigest()[:10]
            key = f"{path}:{function}:{op}:{digest}"
            ordinal = seen.get(key, 0)
            seen[key] = ordinal + 1
            result.append({
                "id": key if ordinal == 0 else f"{key}.{ordinal}",
                "file": path, "function": function, "op": op, "start": start, "end": end,
                "original": text[start:end], "replacement": replacement,
                "line": text.count("\n", 0, start) + 1,
            })
    return result


def apply(text, mutant):
    return text[:mutant["start"]] + mutant["replacement"] + text[mutant["end"]:]


def describe(mutant, limit=90):
    original = " ".join(mutant["original"].split())
    replacement = " ".join(mutant["replacement"].split())
    if len(original) > limit:
        original = original[:limit - 3] + "..."
    if len(replacement) > limit:
        replacement = replacement[:limit - 3] + "..."
    return f"{original} => {replacement or '(nothing)'}"


def main(argv):
    files = [a for a in argv if not a.startswith("-")] or None
    mutants = generate(ROOT, files)
    counts = {}
    for m in mutants:
        print(f"{m['id']}\t{m['file']}:{m['line']}\t{describe(m)}")
        counts[(folder_of(m["file"]), m["op"])] = counts.get((folder_of(m["file"]), m["op"]), 0) + 1
    total = {}
    for (folder, op), n in sorted(counts.items()):
        total[folder] = total.get(folder, 0) + n
    print("mutants: " + ", ".join(f"{folder} {n}" for folder, n in sorted(total.items()))
          + f"; {len(mutants)} in all", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
