#!/usr/bin/env python3
"""tools/hidden-state-check against a tiny build tree: a thread_local, a
function-local static and a namespace-scope variable of the project are
reported (exit 1); constants, members of objects and a variable under a
"process-wide:" comment are not."""
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
HIDDEN = """
namespace orvane {
thread_local int per_thread;
int calls;
int next() { static int counter; return ++counter + ++calls + ++per_thread; }
}
"""
CLEAN = """
#include <mutex>
#include <string>
namespace orvane {
constexpr int kLimit = 3;
int twice(int x) { return 2 * x; }
constexpr int (*kTable[])(int) = {twice};
struct Cache { std::string last; int hits = 0; };
int use(Cache& c) { return c.hits += kTable[0](kLimit); }
void init() {
  // process-wide: a library's global initialisation, once per process
  static std::once_flag once;
  std::call_once(once, [] {});
}
}
"""


def check(root, body):
    src = root / "src"
    src.mkdir(parents=True)
    (src / "unit.cpp").write_text(body)
    obj = root / "build" / "CMakeFiles" / "orvane_x.dir" / "src" / "unit.cpp.o"
    obj.parent.mkdir(parents=True)
    subprocess.run(["c++", "-std=c++20", "-O2", "-fPIC", "-c", str(src / "unit.cpp"), "-o", str(obj)], check=True)
    return subprocess.run([str(ROOT / "tools" / "hidden-state-check"), str(root / "build"), "--source", str(src)],
                          capture_output=True, text=True)


def main():
    with tempfile.TemporaryDirectory() as t:
        hidden = check(pathlib.Path(t) / "hidden", HIDDEN)
        clean = check(pathlib.Path(t) / "clean", CLEAN)
    failures = [f"{name} not reported" for name in ("orvane::per_thread", "orvane::calls", "orvane::next()::counter")
                if hidden.returncode != 1 or f"hidden state: {name} " not in hidden.stdout]
    if clean.returncode != 0 or "0 variables of hidden state, 1 process-wide" not in clean.stdout:
        failures.append("state reported in clean code")
    if failures:
        print("\n".join(failures))
        print("planted:\n" + hidden.stdout + hidden.stderr + "clean:\n" + clean.stdout + clean.stderr)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
