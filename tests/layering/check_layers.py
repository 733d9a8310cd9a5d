#!/usr/bin/env python3
"""Checks that the libraries depend on each other one way only.

Every include of a project header names its folder ("core/facialpoints.h"); a library includes
only its own headers and those of the libraries below it; outside zip/, only zip/ziparchive.h
of the archive library is used. Prints each breach and exits 1 if there is any.
Usage: check_layers.py SOURCE_ROOT
"""
import os
import re
import sys

# What each folder may include besides itself.
ALLOWED = {
    'zip': set(),
    'core': {'zip'},
    'face_detection_module': {'core'},
    'tools': {'core'},
    'preview': {'core'},
    'video': {'core'},
    'ui': {'core', 'face_detection_module', 'tools', 'preview', 'video'},
    'app': {'ui', 'core', 'face_detection_module', 'tools', 'preview', 'video'},
    'cli': {'core', 'face_detection_module', 'preview', 'video', 'zip'},
}
# Programs that live beside a library but are not part of it.
EXTRA = {'preview/generator': {'face_detection_module'}}
ZIP_PUBLIC = 'zip/ziparchive.h'
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def project_headers(root):
    names = {}
    for layer in ALLOWED:
        for folder, _, files in os.walk(os.path.join(root, layer)):
            for name in files:
                if name.endswith('.h'):
                    names.setdefault(name, []).append(
                        os.path.relpath(os.path.join(folder, name), root))
    return names


def main(root):
    headers = project_headers(root)
    known = {path for paths in headers.values() for path in paths}
    breaches = []
    for top in list(ALLOWED) + ['tests', 'benchmarks', 'fuzz']:
        for folder, _, files in os.walk(os.path.join(root, top)):
            for name in files:
                if not name.endswith(('.h', '.cpp')):
                    continue
                path = os.path.relpath(os.path.join(folder, name), root)
                here = path.split('/')[0]
                with open(os.path.join(root, path), encoding='utf-8') as f:
                    text = f.read()
                for included in INCLUDE.findall(text):
                    if '/' not in included:
                        if included in headers and not os.path.exists(
                                os.path.join(root, os.path.dirname(path), included)):
                            breaches.append(f'{path}: "{included}" does not name its folder')
                        continue
                    if included not in known:
                        continue
                    layer = included.split('/')[0]
                    if here in ALLOWED:
                        allowed = set(ALLOWED[here])
                        for prefix, extra in EXTRA.items():
                            if path.startswith(prefix + '/'):
                                allowed |= extra
                        if layer != here and layer not in allowed:
                            breaches.append(f'{path}: {here} may not include {included}')
                            continue
                    if layer == 'zip' and included != ZIP_PUBLIC and here != 'zip' \
                            and not path.startswith(('tests/zip/', 'fuzz/')):
                        breaches.append(f'{path}: {included} is private to zip')
    for line in breaches:
        print(line)
    print(f'{len(breaches)} breaches')
    return 1 if breaches else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else '.'))
