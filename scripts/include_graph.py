#!/usr/bin/env python3
"""Draws the include graph of the project's own sources and checks its shape.

Each module is a header and its sources (app/update_worker.h with update_worker.cpp); the
folders are floors, lowest first: codec, archive, platform, app, tools. A module may include
modules of its own floor and of floors below it, never one above, and the modules' graph
has no circle.

  scripts/include_graph.py            # check; prints each fault, exit 1 on any
  scripts/include_graph.py --dot      # the module graph in Graphviz form
"""
import os
import re
import sys

FLOORS = ["codec", "archive", "platform", "app", "tools"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def module_of(path):
    folder, name = os.path.split(path)
    base = name.rsplit(".", 1)[0]
    # sha512_file_posix.cpp, threads_win32.cpp, os_win32.cpp: the sources of one header
    for suffix in ("_posix", "_win32"):
        if base.endswith(suffix) and base != "os" + suffix:
            base = base[: -len(suffix)]
    if base in ("os_posix", "os_win32"):
        base = "os"
    # A module's private header (gca_archive_state.h of gca_archive) belongs to it.
    if base.endswith("_state"):
        base = base[: -len("_state")]
    return folder + "/" + base


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    edges = {}
    for floor in FLOORS:
        for dirpath, _, files in os.walk(os.path.join(root, floor)):
            for f in files:
                if not f.endswith((".h", ".cpp", ".inc")):
                    continue
                rel = os.path.relpath(os.path.join(dirpath, f), root).replace(os.sep, "/")
                text = open(os.path.join(root, rel), encoding="utf-8", errors="replace").read()
                src = module_of(rel)
                for inc in INCLUDE.findall(text):
                    if inc.split("/")[0] not in FLOORS:
                        continue
                    dst = module_of(inc)
                    if dst != src:
                        edges.setdefault(src, set()).add(dst)
    if "--dot" in sys.argv:
        print("digraph includes {")
        for src in sorted(edges):
            for dst in sorted(edges[src]):
                print('  "%s" -> "%s";' % (src, dst))
        print("}")
        return 0
    faults = []
    for src in sorted(edges):
        for dst in sorted(edges[src]):
            if FLOORS.index(dst.split("/")[0]) > FLOORS.index(src.split("/")[0]):
                faults.append("up a floor: %s -> %s" % (src, dst))
    # circles: depth-first search for back edges
    state, stack = {}, []

    def visit(node):
        state[node] = 1
        stack.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 1:
                faults.append("circle: " + " -> ".join(stack[stack.index(nxt):] + [nxt]))
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = 2

    for node in sorted(edges):
        if node not in state:
            visit(node)
    for f in faults:
        print(f)
    nodes = set(edges) | {d for ds in edges.values() for d in ds}
    print("%d modules, %d includes between them, %d faults" %
          (len(nodes), sum(len(d) for d in edges.values()), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
