#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Runs every command of README's "The wire" section, in order, in one shell, and checks the
answers the section shows.

In the section's sh blocks, a line that starts with "# " right after a command is a line the
command prints. "…" stands for anything within a string ("dev_…"), for members left out of an
object and for elements left out of a list; answers that are JSON are compared as JSON, others
line by line, and the lines shown must come in order (others may come between them). The
server's port 8080 becomes a free one; everything else runs as written, with the zelk-server
given on the command line first on the PATH.

    readme_wire_test.py --readme README.md --server build/server/zelk-server
"""
import argparse
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import tempfile

ELLIPSIS = "\u2026"
SECTION = "### The wire"


def section_blocks(readme):
    """The sh blocks of the section, as lists of lines."""
    blocks, block, inside, fence = [], None, False, False
    for line in readme.splitlines():
        if line.startswith("```"):
            if fence:
                if block is not None:
                    blocks.append(block)
                fence, block = False, None
            else:
                fence = True
                block = [] if inside and line.strip() == "```sh" else None
            continue
        if fence:
            if block is not None:
                block.append(line)
            continue
        if line.startswith("#"):
            if inside:
                break
            inside = line.strip() == SECTION
    return blocks


def complete(text):
    """Whether `text` is a whole command: no open quote, no line ending in a pipe or a
    backslash."""
    stripped = text.rstrip()
    if stripped.endswith("\\") or stripped.endswith("|"):
        return False
    try:
        shlex.split(text, comments=True)
    except ValueError:
        return False
    return True


def commands_of(blocks):
    """(command, lines it shows) in order."""
    commands = []
    for block in blocks:
        pending = ""
        for line in block:
            if not pending and line.startswith("# "):
                if not commands:
                    raise SystemExit("an answer before any command: " + line)
                commands[-1][1].append(line[2:])
                continue
            pending = pending + "\n" + line if pending else line
            if complete(pending):
                commands.append((pending, []))
                pending = ""
        if pending:
            raise SystemExit("a command that does not end: " + pending)
    return commands


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def with_wildcards(text):
    """JSON text with its bare ellipses turned into members and elements that match anything."""
    out, stack, in_string, escaped = [], [], False, False
    for c in text:
        if in_string:
            out.append(c)
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                in_string = False
        elif c == '"':
            in_string = True
            out.append(c)
        elif c in "{[":
            stack.append(c)
            out.append(c)
        elif c in "}]":
            if stack:
                stack.pop()
            out.append(c)
        elif c == ELLIPSIS:
            out.append('"%s":null' % ELLIPSIS if stack and stack[-1] == "{" else '"%s"' % ELLIPSIS)
        else:
            out.append(c)
    return "".join(out)


def glob(pattern, text):
    parts = [re.escape(part) for part in pattern.split(ELLIPSIS)]
    return re.fullmatch(".*".join(parts), text, re.S) is not None


def matches(expected, actual):
    if isinstance(expected, dict):
        return isinstance(actual, dict) and all(
            key == ELLIPSIS or (key in actual and matches(value, actual[key]))
            for key, value in expected.items())
    if isinstance(expected, list):
        if not isinstance(actual, list):
            return False
        if ELLIPSIS not in expected:
            return len(expected) == len(actual) and all(map(matches, expected, actual))
        # The elements shown, in order, among others.
        at = 0
        for item in (item for item in expected if item != ELLIPSIS):
            while at < len(actual) and not matches(item, actual[at]):
                at += 1
            if at == len(actual):
                return False
            at += 1
        return True
    if isinstance(expected, str) and ELLIPSIS in expected:
        return isinstance(actual, str) and glob(expected, actual)
    return type(expected) is type(actual) and expected == actual


def line_matches(expected, actual):
    try:
        shown = json.loads(with_wildcards(expected))
    except ValueError:
        return glob(expected, actual)
    if not isinstance(shown, (dict, list)):
        return glob(expected, actual)
    try:
        return matches(shown, json.loads(actual))
    except ValueError:
        return False


def check(expected_lines, output):
    """The first line shown that the output lacks, or None."""
    lines = output.splitlines()
    at = 0
    for expected in expected_lines:
        while at < len(lines) and not line_matches(expected, lines[at]):
            at += 1
        if at == len(lines):
            return expected
        at += 1
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--readme", required=True)
    parser.add_argument("--server", required=True)
    args = parser.parse_args()

    with open(args.readme, encoding="utf-8") as f:
        readme = f.read()
    port = free_port()
    blocks = section_blocks(readme.replace("127.0.0.1:8080", "127.0.0.1:%d" % port))
    commands = commands_of(blocks)
    if not any(command.startswith("zelk-server ") for command, _ in commands):
        print("readme_wire: the section starts no zelk-server")
        return 1
    if sum(1 for command, _ in commands if command.startswith("curl ")) < 8:
        print("readme_wire: found only %d commands in the section %r" % (len(commands), SECTION))
        return 1

    with tempfile.TemporaryDirectory(prefix="zelk-readme-wire-") as work:
        # Each command's output, error output and status go to files of its own.
        script = ["set -u"]
        for number, (command, _) in enumerate(commands):
            out = os.path.join(work, "out.%d" % number)
            err = os.path.join(work, "err.%d" % number)
            rc = os.path.join(work, "rc.%d" % number)
            body = command.rstrip()
            if body.endswith("&") and not body.endswith("&&"):
                body = body[:-1].rstrip()
                # A background command keeps a redirection of its own, if it has one.
                target = "" if re.search(r"(^|\s)>\s*\S", body) else " >%s" % shlex.quote(out)
                script.append("%s%s 2>%s &" % (body, target, shlex.quote(err)))
                script.append("echo 0 >%s" % shlex.quote(rc))
            else:
                script.append("{\n%s\n} >%s 2>%s" % (body, shlex.quote(out), shlex.quote(err)))
                script.append("echo $? >%s" % shlex.quote(rc))
        environment = dict(os.environ)
        environment["PATH"] = (os.path.dirname(os.path.abspath(args.server)) + os.pathsep +
                               environment.get("PATH", ""))
        shell = subprocess.Popen(["bash", "-c", "\n".join(script)], cwd=work, env=environment,
                                 start_new_session=True, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        try:
            shell.wait(timeout=60)
        except subprocess.TimeoutExpired:
            print("readme_wire: the commands took more than 60 s")
        finally:
            # The server and a stream left behind end with the shell's process group.
            try:
                os.killpg(shell.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            shell.wait()

        failures = 0
        for number, (command, expected) in enumerate(commands):
            def read(name):
                path = os.path.join(work, "%s.%d" % (name, number))
                return open(path, encoding="utf-8", errors="replace").read() \
                    if os.path.exists(path) else None
            status, output, errors = read("rc"), read("out") or "", read("err") or ""
            problem = None
            if status is None:
                problem = "did not run"
            elif status.strip() != "0":
                problem = "exited with status %s" % status.strip()
            else:
                missing = check(expected, output)
                if missing is not None:
                    problem = "did not print %r" % missing
            if problem:
                failures += 1
                print("readme_wire: FAILED: %s\n  %s\n  output: %s\n  errors: %s" %
                      (command, problem, output.strip() or "(none)", errors.strip() or "(none)"))
        checked = sum(len(expected) for _, expected in commands)
        print("readme_wire: %d commands, %d answer lines checked, %d failed" %
              (len(commands), checked, failures))
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
