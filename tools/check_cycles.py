#!/usr/bin/env python3
"""Calls and includes among src/ flow one way: reports every cycle.

usage: check_cycles.py SRC_DIR OBJECT...

Two graphs, each searched for strongly connected components of more than one
node (or a node with an edge to itself):
- includes: file -> file, from the `#include "..."` lines of src/*.cpp and
  src/*.h (the XPM images are data, not code);
- calls: object -> object, from `nm`: an object that needs a symbol (U) points
  at the object that defines it strongly (T, D, B, R). Inline functions and
  templates (weak, W/V) are copies in every user and make no edge.
Exit status 1 when a cycle was found, with the cycle's members printed.
"""
import os
import re
import subprocess
import sys


def components(graph):
    """Tarjan's strongly connected components, iteratively."""
    index, low, on_stack, stack, out = {}, {}, set(), [], []
    counter = 0
    for root in graph:
        if root in index:
            continue
        work = [(root, iter(sorted(graph[root])))]
        index[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, edges = work[-1]
            advanced = False
            for nxt in edges:
                if nxt not in index:
                    index[nxt] = low[nxt] = counter
                    counter += 1
                    stack.append(nxt)
                    on_stack.add(nxt)
                    work.append((nxt, iter(sorted(graph.get(nxt, ())))))
                    advanced = True
                    break
                if nxt in on_stack:
                    low[node] = min(low[node], index[nxt])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                comp = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    comp.append(member)
                    if member == node:
                        break
                out.append(sorted(comp))
    return out


def cycles(graph):
    return [c for c in components(graph) if len(c) > 1 or c[0] in graph.get(c[0], ())]


def include_graph(src):
    graph = {}
    pattern = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
    for name in sorted(os.listdir(src)):
        if not name.endswith((".cpp", ".h")):
            continue
        with open(os.path.join(src, name), encoding="utf-8") as f:
            text = f.read()
        graph[name] = {inc for inc in pattern.findall(text) if not inc.endswith(".xpm")}
    return graph


def call_graph(objects):
    defined, needed = {}, {}
    for obj in objects:
        name = os.path.basename(obj).split(".")[0]
        out = subprocess.run(["nm", "--format=posix", obj], capture_output=True, text=True, check=True).stdout
        needed[name] = set()
        for line in out.splitlines():
            fields = line.split()  # mangled name, type[, value, size]
            if len(fields) < 2:
                continue
            sym, kind = fields[0], fields[1]
            if kind == "U":
                needed[name].add(sym)
            elif kind in "TDBR":
                defined[sym] = name
    return {obj: {defined[s] for s in syms if s in defined} for obj, syms in needed.items()}


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    found = False
    for title, graph in (("include", include_graph(sys.argv[1])), ("call", call_graph(sys.argv[2:]))):
        edges = sum(len(v) for v in graph.values())
        bad = cycles(graph)
        for c in bad:
            print(f"{title} cycle: {' <-> '.join(c)}")
        print(f"{title} graph: {len(graph)} nodes, {edges} edges, {len(bad)} cycles")
        found = found or bool(bad)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
