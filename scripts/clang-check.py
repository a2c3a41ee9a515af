#!/usr/bin/env python3
"""Runs clang-tidy with the checked-in .clang-tidy on every source of the project (product,
tests, benchmark) for the Windows target; its clang-diagnostic checks make clang's warnings
findings too: -Wall -Wextra, and names reserved to the compiler and its library.
Usage: clang-check.py BUILD_DIR [SOURCE...] (a MinGW build with compile_commands.json; the
sources named, or all of them). Prints what it reports and exits non-zero when there is anything."""
import json
import os
import re
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1])
named = {os.path.abspath(source) for source in sys.argv[2:]}
target = "x86_64-w64-mingw32"


def gcc_cxx_includes():
    """GCC's own C++ library headers, which clang does not find for the posix flavour."""
    out = subprocess.run([f"{target}-g++-posix", "-v", "-E", "-x", "c++", os.devnull],
                         capture_output=True, text=True, check=True).stderr
    listed = out.split("#include <...> search starts here:")[1].split("End of search list.")[0].split()
    return [d for d in listed if re.search(r"/include/c\+\+(/|$)", d)]


def flags_of(entry):
    """The entry's defines and include folders, response files read."""
    args = []
    for arg in shlex.split(entry["command"])[1:]:
        if arg.startswith("@"):
            with open(os.path.join(entry["directory"], arg[1:])) as rsp:
                args += shlex.split(rsp.read())
        else:
            args.append(arg)
    kept, i = [], 0
    while i < len(args):
        if args[i] in ("-isystem", "-I"):
            kept += args[i:i + 2]
            i += 2
            continue
        if args[i].startswith(("-D", "-I")):
            kept.append(args[i])
        i += 1
    return kept


def check(source, directory, flags):
    run = subprocess.run(["clang-tidy", "--quiet", f"--config-file={root}/.clang-tidy", source, "--", *flags],
                         capture_output=True, text=True, cwd=directory)
    # clang-tidy prints a count of the warnings it hid in system headers on stderr; the
    # findings go to stdout and set its exit status.
    report = run.stdout
    if run.returncode and not run.stdout:
        report += run.stderr
    return source, run.returncode, report


def main():
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = [e for e in json.load(f) if os.path.commonpath([root, e["file"]]) == root
                   and not os.path.commonpath([build, e["file"]]) == build]
    common = [f"--target={target}", "-std=c++20", "-Wall", "-Wextra", "-Wreserved-identifier",
              "-Wreserved-macro-identifier"]
    for folder in gcc_cxx_includes():
        common += ["-isystem", folder]
    # A source built into several targets is checked once, with its first target's flags: the
    # builds compile the others with the same warnings, as errors.
    checks = {}
    for e in entries:
        if not named or os.path.abspath(e["file"]) in named:
            checks.setdefault(e["file"], (e["directory"], flags_of(e) + common))
    # Biggest first, so that no long one is left running alone at the end.
    order = sorted(checks.items(), key=lambda c: -os.path.getsize(c[0]))
    with ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        results = list(pool.map(lambda c: check(c[0], *c[1]), order))
    failed = [r for r in results if r[1]]
    for source, _, report in failed:
        print(f"--- {os.path.relpath(source, root)}\n{report}", end="")
    print(f"clang-tidy, with clang's warnings: {len(results) - len(failed)} of {len(results)} compilations clean")
    return 1 if failed or not results else 0


if __name__ == "__main__":
    sys.exit(main())
