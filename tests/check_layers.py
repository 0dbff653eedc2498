#!/usr/bin/env python3
# Fails when a source file includes a layer above its own (see docs/architecture.md).
# Usage: check_layers.py <source root>. Prints each offending include and exits 1.
import pathlib
import re
import sys

# Each layer with the layers just below it; a layer may include its own and all below.
UNDER = {'platform': '', 'core': 'platform', 'frame': 'core', 'scsi': 'core', 'playback': 'core',
         'input': 'frame', 'jobs': 'playback input scsi frame', 'driver': 'jobs'}
BELOW = {layer: set() for layer in UNDER}
for layer in UNDER:  # the dict lists every layer after those below it
    BELOW[layer] = set(UNDER[layer].split()).union(*(BELOW[n] for n in UNDER[layer].split()))


# Providers see the ASPI record layout and the other platform pieces they build on,
# the frame layout and the frame-file reading and search; nothing of the program above.
PROVIDER_MAY_INCLUDE = re.compile(
    r'^(platform/[\w.]+|frame/(audio_frame|frame_file|frame_search)\.h|[\w.]+|sg/[\w.]+)$')
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def offences(root):
    for path in sorted(root.glob('src/*/*.[ch]*')) + sorted(root.glob('providers/*/*.[ch]*')):
        area, layer = path.parts[-3], path.parts[-2]
        for target in INCLUDE.findall(path.read_text()):
            if area == 'providers':
                allowed = PROVIDER_MAY_INCLUDE.match(target)
            else:
                top = target.split('/')[0]
                allowed = top == layer or top in BELOW.get(layer, set())
            if not allowed:
                yield '%s includes "%s"' % (path.relative_to(root), target)


if __name__ == '__main__':
    found = list(offences(pathlib.Path(sys.argv[1])))
    print('\n'.join(found) or 'every include points down the layers')
    sys.exit(1 if found else 0)
