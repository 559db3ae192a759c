#!/usr/bin/env python3
"""transcript.py <program> ... [--valgrind] <file.t> ...

Runs the commands of transcript files against the test bed that
with_testbed.sh describes in KX_TESTBED_ENV and compares what they print
with what the file says, byte for byte.  A file holds cases:

    $ command          run by bash in a scratch directory that holds
                       copies of the programs (./kxcrypto, ./kxadmin) and
                       of the library, with the test bed's variables and
                       the functions of prelude.sh
    < line             a line of standard input
    > line             a line the command writes to standard output
    ! line             a line it writes to standard error
    [n]                its exit status, when not 0
    + text             the line above goes on: a blank, then text
    ++text             the line above goes on with text, without a blank
                       (so no line of a file is longer than 100 columns)

The tool's usage text (usage.txt), wherever it appears whole, is shown
as the line "<usage>".  Other lines (comments, blank lines) are kept.  A
last line without a newline is followed by "%no-eol".  On a difference
the actual transcript goes to <file>.t.actual in the scratch directory,
and a unified diff is printed.  With --valgrind every ./kxcrypto in
command position runs under memcheck, and any report fails the case.
"""
import difflib, os, re, shutil, subprocess, sys, tempfile

args = [a for a in sys.argv[1:] if a != "--valgrind"]
valgrind = len(args) < len(sys.argv) - 1
files = [a for a in args if a.endswith(".t")]
tools = [os.path.abspath(a) for a in args if not a.endswith(".t")]
here = os.path.dirname(os.path.abspath(__file__))
work = tempfile.mkdtemp(prefix="kxtranscript.")
os.chmod(work, 0o1777)
# Copies of the programs and of the library they load, in a place that the
# runs as other users can reach wherever the build tree lies.
for tool in tools:
    shutil.copy2(tool, os.path.join(work, os.path.basename(tool)))
    lib = os.path.join(os.path.dirname(tool), "libkxadmin.so.1")
    if os.path.exists(lib):
        shutil.copy2(os.path.realpath(lib), os.path.join(work, "libkxadmin.so.1"))
vglog = os.path.join(work, "vg")
os.mkdir(vglog)
os.chmod(vglog, 0o1777)
VG = (f"valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite,indirect "
      f"--show-leak-kinds=definite,indirect --error-exitcode=99 --log-file={vglog}/%p.log ")


USAGE = open(os.path.join(here, "transcripts", "usage.txt"), encoding="latin-1").read()


def render(stream, mark):
    stream = stream.replace(USAGE, "<usage>\n")
    if not stream:
        return []
    lines = [mark + " " + l if l else mark for l in stream.split("\n")]
    return lines[:-1] if stream.endswith("\n") else lines + ["%no-eol"]


def fold(lines):
    """The lines as a file shows them: longer ones broken at blanks."""
    out = []
    for line in lines:
        while len(line) > 100:
            cut = max((i for i in range(3, 101) if line[i] == " " and line[i - 1] != " "),
                      default=None)
            if cut is None or cut == len(line) - 1:
                out.append(line[:100])
                line = "++" + line[100:]
            else:
                out.append(line[:cut])
                line = "+ " + line[cut + 1:]
        out.append(line)
    return out


def run(cmd, stdin):
    if valgrind:
        cmd = re.sub(r"(^|[|;&(]\s*)\./kxcrypto\b", r"\1" + VG + "./kxcrypto", cmd)
    script = (f'set -a; . "$KX_TESTBED_ENV"; KX_TESTS={here}; LD_LIBRARY_PATH={work}; set +a; '
              f'. {here}/transcripts/prelude.sh; cd {work}; {cmd}')
    p = subprocess.run(["bash", "-c", script], input=stdin.encode("latin-1"), capture_output=True)
    out = render(p.stdout.decode("latin-1"), ">") + render(p.stderr.decode("latin-1"), "!")
    if p.returncode:
        out.append(f"[{p.returncode}]")
    for log in sorted(os.listdir(vglog)):
        out += ["valgrind: " + l for l in open(os.path.join(vglog, log)).read().splitlines()]
        os.remove(os.path.join(vglog, log))
    return out


failed = 0
for path in files:
    expected = []
    for line in open(path, encoding="latin-1").read().split("\n"):
        if line.startswith("++") and expected:
            expected[-1] += line[2:]
        elif line.startswith("+ ") and expected:
            expected[-1] += " " + line[2:]
        else:
            expected.append(line)
    actual, i = [], 0
    while i < len(expected):
        line = expected[i]
        i += 1
        if not line.startswith("$ "):
            actual.append(line)
            continue
        stdin = []
        while i < len(expected) and (expected[i].startswith("< ") or expected[i] == "<"):
            stdin.append(expected[i][2:])
            i += 1
        while i < len(expected) and re.match(r"([>!](\s|$)|\[\d+\]$|%no-eol$)", expected[i]):
            i += 1
        actual += [line] + ["< " + s if s else "<" for s in stdin]
        actual += run(line[2:], "".join(s + "\n" for s in stdin))
    if actual != expected:
        failed += 1
        name = os.path.join(work, os.path.basename(path) + ".actual")
        open(name, "w", encoding="latin-1").write("\n".join(fold(actual)))
        sys.stdout.writelines(difflib.unified_diff(
            [l + "\n" for l in fold(expected)], [l + "\n" for l in fold(actual)], path, name))
    print(f"{path}: {'FAILED' if actual != expected else 'ok'}")
if not failed:
    shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failed else 0)
