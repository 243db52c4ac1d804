#!/usr/bin/env python3
"""Mutation testing: how many small faults in the product code the native suite notices.

usage: mutate.py [--sample N] [--seed S] [--folders "link romimage ..."] [--only ID,...]
                 [--list] [--timeout SECONDS] [--jobs N]

Each mutant is one small fault planted in one place of the product code: a comparison
turned round or moved by one, a constant off by one, && and || swapped, + and - swapped, a
negation dropped, true and false swapped, or a call left out. The mutants are drawn from
every site of the chosen folders with a seed, each folder getting its share, and ranked by
a hash of what they change, so that the same seed draws the same places however the rest of
the code moves. Each mutant is built in a scratch copy of the tree (build/mutate/src, never
the working tree itself), and the native suite runs against it until its first failure:
killed (a test failed, or the suite hung past its time), survived (every test passed) or
not built (the compiler refused it). Mutants listed in tools/mutate.equivalent cannot be
told from the program by anything a user or the receiver would notice; they are counted
apart.
"""
import argparse
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
WORK = os.path.join(ROOT, "build", "mutate")
SRC = os.path.join(WORK, "src")
BUILD = os.path.join(WORK, "build")
EQUIVALENT = os.path.join(ROOT, "tools", "mutate.equivalent")
FOLDERS = ["link", "romimage", "transfer", "app", "remote", "cli"]
TARGETS = ["vl_tests", "vesker-link", "receiver-sim", "vl-failing-calls"]


def log(text):
    print(text, file=sys.stderr, flush=True)


# The scratch copy ---------------------------------------------------------------------------


def source_files(tree):
    out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                         cwd=tree, check=True, capture_output=True).stdout
    return [name for name in out.decode().split("\0") if name and os.path.isfile(
        os.path.join(tree, name))]


def commit_tree(commit):
    """The files of a commit, in a folder of their own beside the scratch copy."""
    tree = os.path.join(WORK, "commit")
    shutil.rmtree(tree, ignore_errors=True)
    os.makedirs(tree)
    archive = subprocess.run(["git", "archive", commit], cwd=ROOT, check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", tree], input=archive, check=True)
    subprocess.run(["git", "init", "-q", tree], check=True)
    subprocess.run(["git", "add", "-A"], cwd=tree, check=True)
    return tree


def sync_scratch(tree):
    """Makes the scratch copy equal to the tree, touching only what differs (so that the
    build stays incremental), and so also undoes a mutant an interruption left."""
    wanted = set(source_files(tree))
    for name in sorted(wanted):
        source = os.path.join(tree, name)
        copy = os.path.join(SRC, name)
        with open(source, "rb") as f:
            data = f.read()
        if os.path.isfile(copy):
            with open(copy, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        with open(copy, "wb") as f:
            f.write(data)
        shutil.copymode(source, copy)
    for folder, _, files in os.walk(SRC):
        for file in files:
            path = os.path.join(folder, file)
            if os.path.relpath(path, SRC) not in wanted:
                os.remove(path)


def configure():
    subprocess.run(["cmake", "-S", SRC, "-B", BUILD, "-G", "Unix Makefiles",
                    "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g0",
                    "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
                    # A mutant that breaks the test binary fails its tests, not its build.
                    "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST"],
                   check=True, stdout=subprocess.DEVNULL)


def build(jobs, limit):
    """True when the targets build; else False with the compiler's first error."""
    try:
        done = subprocess.run(["cmake", "--build", BUILD, "-j", str(jobs), "--target", *TARGETS],
                              capture_output=True, timeout=limit)
    except subprocess.TimeoutExpired:
        return False, "build timed out"
    if done.returncode == 0:
        return True, ""
    lines = (done.stdout + done.stderr).decode("utf-8", "replace").splitlines()
    errors = [line for line in lines if "error" in line]
    return False, (errors[0] if errors else lines[-1] if lines else "?").strip()[:200]


# Sites -------------------------------------------------------------------------------------


def mask(text):
    """The text with comments, string and character literals and preprocessor lines
    blanked out (newlines kept), so that only code is looked at."""
    out = list(text)
    i, n = 0, len(text)

    def blank(start, end):
        for k in range(start, end):
            if out[k] != "\n":
                out[k] = " "

    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#":
            end = i
            while end < n and (text[end] != "\n" or text[end - 1] == "\\"):
                end += 1
            blank(i, end)
            i = end
            continue
        if c == "\n":
            line_start = True
            i += 1
            continue
        if not c.isspace():
            line_start = False
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            blank(i, end)
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            blank(i, end)
            i = end
        elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or
                                                            text[i - 1] == "_")):
            open_paren = text.find("(", i)
            delimiter = text[i + 2:open_paren]
            end = text.find(")" + delimiter + '"', open_paren)
            end = n if end < 0 else end + len(delimiter) + 2
            blank(i, end)
            i = end
        elif c == '"' or (c == "'" and (i == 0 or not text[i - 1].isalnum())):
            end = i + 1
            while end < n and text[end] != c:
                end += 2 if text[end] == "\\" else 1
            blank(i, end + 1)
            i = end + 1
        else:
            i += 1
    return "".join(out)


class Mutant:
    def __init__(self, path, line, column, old, new, kind, key):
        self.path, self.line, self.column = path, line, column
        self.old, self.new, self.kind = old, new, kind
        self.key = key
        self.id = hashlib.sha256(key.encode()).hexdigest()[:8]

    def folder(self):
        return self.path.split("/", 1)[0]

    def group(self, groups):
        """The first of the groups that holds the mutant: a folder ("cli") or the beginning
        of a path ("link/network")."""
        for group in groups:
            if self.path.startswith(group) if "/" in group else self.folder() == group:
                return group
        return None

    def describe(self):
        return "%s %s:%d %s %r -> %r" % (self.id, self.path, self.line, self.kind, self.old,
                                          self.new)


FLIP = {"<": ">=", "<=": ">", ">": "<=", ">=": "<", "==": "!=", "!=": "=="}
BOUNDARY = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
COMPARISON = re.compile(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)")
LOGIC = re.compile(r"(?<=\s)(&&|\|\|)(?=\s)")
ARITHMETIC = re.compile(r"(?<=\s)(\+=|-=|\+|-)(?=\s)")
NUMBER = re.compile(r"(?<![\w.'])(0[xX][0-9A-Fa-f']+|[0-9][0-9']*)([uUlL]*)(?![\w.'])")
BOOLEAN = re.compile(r"\b(true|false)\b")
NEGATION = re.compile(r"(?<![=!<>])!(?![=])")
CALL = re.compile(r"^(\s*)((?:[A-Za-z_][\w:]*)(?:(?:\.|->)[A-Za-z_]\w*)*\s*\(.*\);)\s*$")
NOT_CALLS = ("return", "delete", "throw", "case", "goto", "co_return", "static_assert")


def balanced_call(statement):
    """Whether the statement is one call whose parentheses close at its end."""
    depth = 0
    opened = False
    for k, c in enumerate(statement):
        if c == "(":
            depth += 1
            opened = True
        elif c == ")":
            depth -= 1
            if depth == 0 and opened:
                return statement[k + 1:].strip() == ";"
    return False


def number_plus_one(literal):
    digits = literal.replace("'", "")
    if digits.lower().startswith("0x"):
        return "0x%X" % (int(digits, 16) + 1)
    if len(digits) > 1 and digits.startswith("0"):
        return None  # octal: left alone
    return str(int(digits) + 1)


def mutants_of(path, text):
    found = []
    lines = text.split("\n")
    code_lines = mask(text).split("\n")
    previous = ";"
    # A mutant is known by its file, its kind, the code of its line and which of the same it
    # is, not by its line number: edits elsewhere leave it the same mutant.
    seen = {}
    for number, (line, code) in enumerate(zip(lines, code_lines), start=1):

        def add(column, old, new, kind):
            old = line[column:column + len(old)]
            key = (kind, code.strip(), old, new, column)
            occurrence = seen.get(key, 0)
            seen[key] = occurrence + 1
            found.append(Mutant(path, number, column, old, new, kind, "|".join(
                [path, kind, code.strip(), str(column), str(occurrence), old, new])))

        for match in COMPARISON.finditer(code):
            op = match.group(1)
            add(match.start(), op, FLIP[op], "flip")
            if op in BOUNDARY:
                add(match.start(), op, BOUNDARY[op], "boundary")
        for match in LOGIC.finditer(code):
            op = match.group(1)
            add(match.start(), op, "||" if op == "&&" else "&&", "logic")
        for match in ARITHMETIC.finditer(code):
            op = match.group(1)
            swapped = {"+": "-", "-": "+", "+=": "-=", "-=": "+="}[op]
            add(match.start(), op, swapped, "arithmetic")
        for match in NUMBER.finditer(code):
            plus = number_plus_one(match.group(1))
            if plus is not None:
                add(match.start(), match.group(1), plus, "constant")
        for match in BOOLEAN.finditer(code):
            word = match.group(1)
            add(match.start(), word, "false" if word == "true" else "true", "boolean")
        for match in NEGATION.finditer(code):
            add(match.start(), "!", "", "negation")
        call = CALL.match(code)
        starts_statement = previous.rstrip()[-1:] in (";", "{", "}", ":", "")
        if call and starts_statement and balanced_call(call.group(2)) and \
                not call.group(2).split("(")[0].strip().startswith(NOT_CALLS):
            statement = call.group(2)
            add(len(call.group(1)), statement, ";", "call")
        if code.strip():
            previous = code
    return found


def product_files():
    """The product sources the native build compiles, in the folders mutated."""
    with open(os.path.join(BUILD, "compile_commands.json")) as f:
        commands = json.load(f)
    files = set()
    for command in commands:
        path = os.path.relpath(os.path.realpath(command["file"]), os.path.realpath(SRC))
        if path.split("/", 1)[0] in FOLDERS and path.endswith(".cpp"):
            files.add(path)
    return sorted(files)


def all_mutants(folders):
    mutants = []
    for path in product_files():
        if Mutant(path, 0, 0, "", "", "", "").group(folders) is None:
            continue
        with open(os.path.join(SRC, path), encoding="utf-8") as f:
            mutants.extend(mutants_of(path, f.read()))
    return mutants


def draw(mutants, size, seed, folders):
    """A sample of the given size, every folder an even share, one mutant a line, by the
    seeded rank."""
    by_folder = {folder: [] for folder in folders}
    for mutant in mutants:
        by_folder[mutant.group(folders)].append(mutant)
    shares = {f: size // len(folders) for f in folders}
    for f in folders[:size % len(folders)]:
        shares[f] += 1
    sample = []
    for folder, candidates in by_folder.items():
        ranked = sorted(candidates, key=lambda m: hashlib.sha256(
            ("%s|%s" % (seed, m.key)).encode()).hexdigest())
        lines = set()
        taken = 0
        for mutant in ranked:
            if taken == shares[folder]:
                break
            if (mutant.path, mutant.line) in lines:
                continue
            lines.add((mutant.path, mutant.line))
            sample.append(mutant)
            taken += 1
    return sorted(sample, key=lambda m: (m.path, m.line, m.column))


def apply(mutant):
    """Plants the mutant in the scratch copy; returns the original text."""
    path = os.path.join(SRC, mutant.path)
    with open(path, encoding="utf-8") as f:
        original = f.read()
    lines = original.split("\n")
    line = lines[mutant.line - 1]
    assert line[mutant.column:mutant.column + len(mutant.old)] == mutant.old, mutant.describe()
    lines[mutant.line - 1] = line[:mutant.column] + mutant.new + line[mutant.column +
                                                                      len(mutant.old):]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    return original


def restore(mutant, original):
    with open(os.path.join(SRC, mutant.path), "w", encoding="utf-8") as f:
        f.write(original)


# The suite ---------------------------------------------------------------------------------


class Suite:
    """The native suite as ctest runs it, minus the build-rule checks: vl_tests in shards
    side by side, stopping at the first failing test, the vesker-link tests, directly and
    through ser2net, and last, alone, the network cases under valgrind's memcheck."""

    def __init__(self, jobs):
        self.jobs = jobs

    def commands(self, cli_first):
        tests = os.path.join(BUILD, "tests", "vl_tests")
        gtest = [("vl_tests", [tests, "--gtest_fail_fast", "--gtest_brief=1"],
                  {"GTEST_TOTAL_SHARDS": str(self.jobs), "GTEST_SHARD_INDEX": str(i)})
                 for i in range(self.jobs)]
        programs = {"VL_CLI": os.path.join(BUILD, "vesker-link"),
                    "VL_SIM": os.path.join(BUILD, "receiver-sim"),
                    # The log's cases make its lock, flush or close fail through this shim.
                    "VL_FAILING_CALLS": os.path.join(BUILD, "tests", "libvl-failing-calls.so")}
        # vesker-link directly, on a bench and through a serial device server, side by side.
        companion = [(name, [sys.executable, os.path.join(SRC, "tests", "cli", script), "-f"],
                      programs)
                     for name, script in (("cli.companion", "companion_test.py"),
                                          ("cli.watch", "watch_test.py"),
                                          ("cli.network", "network_test.py"))]
        # The bench page's cases need Selenium, which only the distribution's Python has.
        system_python = "/usr/bin/python3"
        if os.path.exists(system_python):
            companion.append(("cli.serve", [system_python, os.path.join(
                SRC, "tests", "cli", "serve_test.py"), "-f"],
                dict(programs, VL_ARTIFACTS=WORK)))
        groups = [companion, gtest] if cli_first else [gtest, companion]
        # Only a checker of the whole process sees what gensio does with memory our code
        # freed or lost; it needs a core of its own, as in ctest.
        valgrind = shutil.which("valgrind")
        if valgrind:
            checker = "%s --quiet --error-exitcode=99 --leak-check=full " \
                      "--errors-for-leak-kinds=definite --suppressions=%s" % (
                          valgrind, os.path.join(SRC, "tests", "valgrind.supp"))
            groups.append([("cli.memcheck", [sys.executable, os.path.join(
                SRC, "tests", "cli", "network_test.py"), "-f", "Memcheck"],
                dict(programs, VL_MEMCHECK=checker))])
        return groups

    def run(self, limit, cli_first=False):
        """("passed"|"failed"|"timeout", what failed, seconds). A test that fails is run
        again by itself, and counts only when it fails there too: a timing test that failed
        under the machine's load says nothing of the mutant. Its group then runs once more;
        a group whose failures all pass alone counts as passed."""
        start = time.monotonic()
        notes = []
        for group in self.commands(cli_first):
            for _ in (1, 2, 3):
                left = limit - (time.monotonic() - start)
                status, detail, test = self.run_group(group, left)
                if status != "failed" or test is None:
                    break
                again, _, _ = self.run_group([self.alone(group[0], test)], left)
                if again != "passed":
                    break
                notes.append(test)
                status = "passed"
            if status != "passed":
                return status, detail, time.monotonic() - start
        flaky = "failed under load only: " + ", ".join(notes) if notes else ""
        return "passed", flaky, time.monotonic() - start

    @staticmethod
    def alone(command, test):
        name, argv, extra = command
        if name == "vl_tests":
            return name, [argv[0], "--gtest_filter=" + test], {}
        return name, argv[:2] + [test], extra

    @staticmethod
    def run_group(group, limit):
        running = []
        with tempfile.TemporaryDirectory(prefix="vl-mutate-") as folder:
            for name, argv, extra in group:
                out = open(os.path.join(folder, "out%d" % len(running)), "w+b")
                process = subprocess.Popen(argv, cwd=folder, stdout=out, stderr=subprocess.STDOUT,
                                           stdin=subprocess.DEVNULL,
                                           env=dict(os.environ, **extra), start_new_session=True)
                running.append((name, process, out))
            deadline = time.monotonic() + max(limit, 1)
            status, detail, test = "passed", "", None
            while running and status == "passed":
                for entry in list(running):
                    name, process, out = entry
                    code = process.poll()
                    if code is None:
                        continue
                    running.remove(entry)
                    if code != 0:
                        status = "failed"
                        test = Suite.first_failure(out)
                        detail = "%s: %s" % (name, test or "exit %d" % code)
                    out.close()
                if running and status == "passed":
                    if time.monotonic() > deadline:
                        status, detail = "timeout", "past %d s" % limit
                    else:
                        time.sleep(0.2)
            for name, process, out in running:
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                process.wait()
                out.close()
        return status, detail, test

    @staticmethod
    def first_failure(out):
        """The failing test, as the runner names it for a run of it alone; None if none."""
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
        match = re.search(r"\[  FAILED  \] (\S+?)(?:,|$| )", text, re.M)
        if match:
            return match.group(1)
        match = re.search(r"^(?:FAIL|ERROR): (\w+) \((?:__main__\.)?(\w+)", text, re.M)
        if match:
            return "%s.%s" % (match.group(2), match.group(1))
        return None


# The run -----------------------------------------------------------------------------------


def read_equivalent():
    reasons = {}
    if os.path.isfile(EQUIVALENT):
        with open(EQUIVALENT, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line and not line.startswith("#"):
                    parts = line.split(None, 2)
                    reasons[parts[0]] = parts[2] if len(parts) > 2 else ""
    return reasons


def summary(results, equivalent, folders=FOLDERS):
    log("")
    log("%-14s %7s %9s %10s %9s %6s" % ("folder", "killed", "survived", "equivalent",
                                          "not built", "score"))
    rows = {}
    for mutant, status, _, _ in results:
        row = rows.setdefault(mutant.group(folders) or mutant.folder(),
                              {"killed": 0, "survived": 0, "equivalent": 0, "not built": 0})
        if status == "survived" and mutant.id in equivalent:
            status = "equivalent"
        row[status] += 1
    total = {"killed": 0, "survived": 0, "equivalent": 0, "not built": 0}
    for folder in folders + sorted(set(rows) - set(folders)):
        if folder not in rows:
            continue
        row = rows[folder]
        for k in total:
            total[k] += row[k]
        counted = row["killed"] + row["survived"]
        log("%-14s %7d %9d %10d %9d %5.0f%%" % (folder, row["killed"], row["survived"],
                                                row["equivalent"], row["not built"],
                                                100.0 * row["killed"] / counted if counted else 0))
    counted = total["killed"] + total["survived"]
    log("%-14s %7d %9d %10d %9d %5.1f%%" % ("all", total["killed"], total["survived"],
                                            total["equivalent"], total["not built"],
                                            100.0 * total["killed"] / counted if counted else 0))
    log("sample: %d mutants; score: killed of killed and survived, equivalent ones apart"
        % len(results))
    survivors = [m for m, status, _, _ in results if status == "survived"]
    if survivors:
        log("")
        log("survivors:")
        for mutant in survivors:
            note = equivalent.get(mutant.id)
            log("  " + mutant.describe() + ("   [equivalent: %s]" % note if note is not None
                                            else ""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample", type=int, default=120, help="mutants to draw (default 120)")
    parser.add_argument("--seed", default="22", help="seed of the draw (default 22)")
    parser.add_argument("--folders", default=" ".join(FOLDERS),
                        help="folders to mutate, or beginnings of paths (link/network)")
    parser.add_argument("--only", default="", help="only these mutant ids (comma-separated)")
    parser.add_argument("--list", action="store_true", help="list the sample, run nothing")
    parser.add_argument("--commit", default="",
                        help="mutate the code of this commit instead of the working tree")
    parser.add_argument("--timeout", type=int, default=0,
                        help="seconds a mutant's suite may take (default: 3 x the clean run)")
    parser.add_argument("--jobs", type=int, default=2, help="parallel builds and test shards")
    parser.add_argument("--results", default=os.path.join(WORK, "results.tsv"),
                        help="where each mutant's outcome is written")
    parser.add_argument("--report", default="",
                        help="only the summary of an earlier run's results, with the "
                             "equivalent mutants as listed now")
    args = parser.parse_args()
    folders = args.folders.split()
    if args.report:
        with open(args.report, encoding="utf-8") as f:
            rows = [line.rstrip("\n").split("\t") for line in f][1:]
        results = []
        for row in rows:
            mutant = Mutant(row[1], int(row[2]), 0, row[4], row[5], row[3], "")
            mutant.id = row[0]
            results.append((mutant, row[6], row[7], float(row[8])))
        summary(results, read_equivalent(), folders)
        return 0

    os.makedirs(SRC, exist_ok=True)
    # One run at a time: a second would rewrite the scratch copy under the first.
    lock = open(os.path.join(WORK, "lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        log("mutate: another run is using " + os.path.relpath(WORK, ROOT))
        return 1
    sync_scratch(commit_tree(args.commit) if args.commit else ROOT)
    configure()
    mutants = all_mutants(folders)
    sample = draw(mutants, args.sample, args.seed, folders)
    if args.only:
        wanted = set(args.only.split(","))
        sample = [m for m in mutants if m.id in wanted]
        missing = wanted - {m.id for m in sample}
        if missing:
            log("mutate: no such mutant: " + ", ".join(sorted(missing)))
            return 2
    log("mutate: %d sites in %s; %d drawn with seed %s" % (len(mutants), " ".join(folders),
                                                         len(sample), args.seed))
    if args.list:
        for mutant in sample:
            print(mutant.describe())
        return 0

    suite = Suite(args.jobs)
    log("mutate: building and running the clean suite")
    built, error = build(args.jobs, 3600)
    if not built:
        log("mutate: the clean tree does not build: " + error)
        return 1
    status, detail, seconds = suite.run(3600)
    if status != "passed":
        log("mutate: the clean suite does not pass (%s): %s" % (status, detail))
        return 1
    limit = args.timeout or int(3 * seconds) + 30
    log("mutate: clean suite passed in %.0f s; a mutant's suite may take %d s" % (seconds, limit))

    equivalent = read_equivalent()
    results = []
    with open(args.results, "w", encoding="utf-8") as out:
        out.write("id\tfile\tline\tkind\tfrom\tto\tresult\tdetail\tseconds\n")
        for n, mutant in enumerate(sample, start=1):
            started = time.monotonic()
            original = apply(mutant)
            try:
                built, error = build(args.jobs, 1800)
                if not built:
                    status, detail = "not built", error
                else:
                    outcome, detail, _ = suite.run(limit, cli_first=mutant.folder() == "cli" or "network" in mutant.path)
                    status = {"passed": "survived", "failed": "killed",
                              "timeout": "killed"}[outcome]
                    if outcome == "timeout":
                        detail = "hung: " + detail
            finally:
                restore(mutant, original)
            seconds = time.monotonic() - started
            results.append((mutant, status, detail, seconds))
            log("[%3d/%d] %s  %s%s  %.0f s" % (n, len(sample), mutant.describe(), status.upper(),
                                               " (%s)" % detail if detail else "", seconds))
            out.write("\t".join([mutant.id, mutant.path, str(mutant.line), mutant.kind,
                                 mutant.old, mutant.new, status, detail, "%.0f" % seconds]) + "\n")
            out.flush()
    summary(results, equivalent, folders)
    log("mutate: results in " + os.path.relpath(args.results, ROOT))
    return 0


if __name__ == "__main__":
    sys.exit(main())
