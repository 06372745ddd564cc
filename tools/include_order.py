#!/usr/bin/env python3
# Checks the product's includes (common, service, client, tools): none may point up the
# layer order below or into the other program, and no cycle may exist between files or
# between modules (x.h with x.cpp).
#   tools/include_order.py [source-root]
import os, re, sys
root = sys.argv[1] if len(sys.argv) > 1 else '.'
os.chdir(root)
# Layer order, top (0) to bottom; the first matching prefix wins.
LAYERS = [
    ('tools/', 0),
    ('service/app/', 0), ('service/process_state.', 1),
    ('service/main_window.', 2), ('service/pipe_server.', 2), ('service/restart.', 2),
    ('service/thumbnail_decode/', 3), ('service/frame_source/', 4), ('service/dshow/', 5),
    ('service/request_list.', 6), ('service/logs.', 6), ('service/settings.', 6),
    ('client/app/', 0), ('client/snapwick_main.', 1), ('client/update/', 2), ('client/process_state.', 3),
    ('client/', 4),
    ('common/', 7),
]
PROGRAM = lambda f: f.split('/')[0]
files = []
for top in ('common', 'service', 'client', 'tools'):
    for d, _, names in os.walk(top):
        files += [os.path.join(d, n) for n in names if n.endswith(('.h', '.cpp'))]
def layer(f):
    for prefix, n in LAYERS:
        if f.startswith(prefix): return n
    raise SystemExit('no layer for ' + f)
edges = {f: set() for f in files}
bad = []
for f in files:
    for m in re.finditer(r'^\s*#\s*include\s+"([^"]+)"', open(f, encoding='utf-8').read(), re.M):
        inc = m.group(1)
        if not os.path.exists(inc):
            bad.append('%s: include "%s" not found from the root' % (f, inc)); continue
        edges[f].add(inc)
        if inc.split('/')[0] not in ('common', 'service', 'client', 'tools'):
            bad.append('%s -> %s: outside the product' % (f, inc))
        elif PROGRAM(inc) not in ('common', PROGRAM(f)) and not (PROGRAM(f) == 'tools' and PROGRAM(inc) == 'service'):
            bad.append('%s -> %s: another program' % (f, inc))
        elif layer(inc) < layer(f):
            bad.append('%s -> %s: upwards (layer %d -> %d)' % (f, inc, layer(f), layer(inc)))
def cycles(graph):
    found, state = [], {}
    def visit(n, path):
        state[n] = 1; path.append(n)
        for m in sorted(graph.get(n, ())):
            if state.get(m) == 1: found.append(path[path.index(m):] + [m])
            elif m not in state: visit(m, path)
        path.pop(); state[n] = 2
    for n in sorted(graph):
        if n not in state: visit(n, [])
    return found
module = lambda f: os.path.splitext(f)[0]
mgraph = {}
for f, incs in edges.items():
    mgraph.setdefault(module(f), set()).update(module(i) for i in incs if module(i) != module(f))
for c in cycles(edges): bad.append('file cycle: ' + ' -> '.join(c))
for c in cycles(mgraph): bad.append('module cycle: ' + ' -> '.join(c))
print('%d files, %d includes checked' % (len(files), sum(len(v) for v in edges.values())))
print('\n'.join(bad) or 'no upward include, no cycle')
sys.exit(1 if bad else 0)
