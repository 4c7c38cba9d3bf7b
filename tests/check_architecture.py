#!/usr/bin/env python3
"""Checks the build's target graph against the layering rules and against the
library table of docs/ARCHITECTURE.md.

usage: check_architecture.py <build>/target-graph.tsv docs/ARCHITECTURE.md

Rules:
  - a library of common/ links only libraries of common/;
  - a target of a program folder (the SANE backend's included) never links a
    target of tools/, bench/, packaging/ or another program's folder;
  - a library of a program folder is linked by no other program, except the
    status decoder, which tools/ may link too;
  - no program links a library of tools/ or packaging/;
  - every library of the tree outside the test folders (common/, the program
    folders, the SANE backend, tools/, packaging/, bench/) has one row in the
    document's table, whose "links" and "programs" columns are the graph's;
  - no two source units (a header with its source file) of the tree include
    each other, directly or through others.
"""
import os
import re
import subprocess
import sys

PROGRAM_FOLDERS = ["RuvoPrinterTool", "RuvoNetTool", "RuvoFWUpdate", "RuvoScanDaemon",
                   "RuvoPrintUpdate", "RuvoPrintRemove", "RuvoPrintWatchdog", "RuvoScanShare",
                   "RuvoSaneBackend"]
# What the packages ship that runs: the programs and the SANE backend.
PROGRAMS = ["RuvoPrinterTool", "RuvoNetTool", "ruvoK40FW", "RuvoScanDaemon",
            "RuvoPrintUpdate", "RuvoPrintRemove", "RuvoPrintWatchdog", "RuvoScanShare",
            "sane-ruvo"]
NEVER_IN_PROGRAMS = ("tools", "packaging", "bench")
LIBRARY_KINDS = ("STATIC_LIBRARY", "INTERFACE_LIBRARY", "SHARED_LIBRARY", "MODULE_LIBRARY", "OBJECT_LIBRARY")
SHARED_FROM_PROGRAMS = {"ruvo_printer_status"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def top(folder):
    return folder.split("/")[0]


def is_test_folder(folder):
    return "/tests" in "/" + folder + "/" or folder.startswith("tests")


def read_graph(path):
    graph = {}
    for line in open(path, encoding="utf-8"):
        fields = line.rstrip("\n").split("\t")
        if len(fields) != 4:
            continue
        name, folder, kind, links = fields
        graph[name] = {"folder": folder, "kind": kind, "links": links.split()}
    return graph


def closure(graph, start):
    seen, stack = set(), [start]
    while stack:
        for link in graph[stack.pop()]["links"]:
            if link not in seen:
                seen.add(link)
                stack.append(link)
    return seen


def read_table(path):
    """Rows of the table whose header starts with | library |."""
    rows, in_table = {}, False
    for line in open(path, encoding="utf-8"):
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if line.startswith("| library"):
            in_table = True
            continue
        if not in_table:
            continue
        if not line.startswith("|"):
            in_table = False
            continue
        if set(cells[0]) <= set("-: "):
            continue
        words = lambda text: set(re.findall(r"[A-Za-z0-9_-]+", text.replace("—", "")))
        rows[cells[0].strip("`")] = {"folder": cells[1].strip("`"), "links": words(cells[2]),
                                     "programs": words(cells[3])}
    return rows


def include_cycles(root):
    """The cycles among the tree's source units: a header and the source file
    of the same name are one unit, and a unit depends on the units whose
    headers it includes (looked up in its own folder first, then by a name
    that is unique in the tree)."""
    files = subprocess.run(["git", "-C", root, "ls-files", "*.h", "*.cpp"], capture_output=True, text=True,
                           check=True).stdout.split()
    by_name = {}
    for path in files:
        by_name.setdefault(os.path.basename(path), []).append(path)
    depends = {}
    for path in files:
        unit = os.path.splitext(path)[0]
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as source:
            included = INCLUDE.findall(source.read())
        for name in included:
            beside = os.path.normpath(os.path.join(os.path.dirname(path), name))
            found = beside if beside in files else (by_name.get(os.path.basename(name), [None])[0]
                                                    if len(by_name.get(os.path.basename(name), [])) == 1 else None)
            if found and os.path.splitext(found)[0] != unit:
                depends.setdefault(unit, set()).add(os.path.splitext(found)[0])
    cycles, state = [], {}

    def visit(unit, trail):
        state[unit] = "open"
        for other in sorted(depends.get(unit, ())):
            if state.get(other) == "open":
                cycles.append(trail[trail.index(other):] + [other])
            elif other not in state:
                visit(other, trail + [other])
        state[unit] = "done"
    for unit in sorted(depends):
        if unit not in state:
            visit(unit, [unit])
    return cycles


def main():
    graph = read_graph(sys.argv[1])
    table = read_table(sys.argv[2])
    problems = []

    users = {name: {p for p in PROGRAMS if p in graph and (name in closure(graph, p) or name == p)}
             for name in graph}

    for name, target in graph.items():
        folder = target["folder"]
        for link in target["links"]:
            link_folder = graph[link]["folder"]
            if top(folder) == "common" and not is_test_folder(folder) and top(link_folder) != "common":
                problems.append(f"{name} (common/) links {link} from {link_folder}/")
            if top(folder) in PROGRAM_FOLDERS and not is_test_folder(folder):
                if top(link_folder) in NEVER_IN_PROGRAMS or is_test_folder(link_folder):
                    problems.append(f"{name} ({folder}/) links {link} from {link_folder}/")
                if (top(link_folder) in PROGRAM_FOLDERS and top(link_folder) != top(folder)
                        and link not in SHARED_FROM_PROGRAMS):
                    problems.append(f"{name} ({folder}/) links {link} of another program")
        if (top(folder) in PROGRAM_FOLDERS and not is_test_folder(folder) and target["kind"] != "EXECUTABLE"
                and name not in SHARED_FROM_PROGRAMS):
            own = [p for p in users[name] if top(graph[p]["folder"]) != top(folder)]
            if own:
                problems.append(f"{name} of {top(folder)}/ is linked by the program(s) {', '.join(own)}")

        if top(folder) in NEVER_IN_PROGRAMS and target["kind"] in LIBRARY_KINDS and users[name]:
            problems.append(f"{name} of {top(folder)}/ is linked by the program(s) {', '.join(sorted(users[name]))}")

    documented = {name for name, target in graph.items()
                  if target["kind"] in LIBRARY_KINDS and not is_test_folder(target["folder"])}
    for name in sorted(documented - table.keys()):
        problems.append(f"{name} is missing from the library table")
    for name in sorted(table.keys() - documented):
        problems.append(f"the library table lists {name}, which the build does not define here")
    for name in sorted(documented & table.keys()):
        row, target = table[name], graph[name]
        if row["folder"].rstrip("/") != target["folder"]:
            problems.append(f"{name}: table says folder {row['folder']}, the build {target['folder']}")
        if row["links"] != set(target["links"]):
            problems.append(f"{name}: table says it links {sorted(row['links'])}, the build {sorted(target['links'])}")
        if row["programs"] != users[name]:
            problems.append(f"{name}: table says programs {sorted(row['programs'])}, the build {sorted(users[name])}")

    root = os.path.dirname(os.path.dirname(os.path.abspath(sys.argv[2])))
    for cycle in include_cycles(root):
        problems.append("include cycle: " + " -> ".join(cycle))

    for problem in problems:
        print(problem)
    print(f"{len(graph)} targets, {len(documented)} documented libraries, {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
