#!/bin/sh
# The virtual recorder keeps its own description of the wire: none of its files
# includes a header of the updater's layers, so a wrong value there is not wrong on
# both sides. (The runner, which runs the updater itself, may.)
source="$1"
found=$(grep -nE '#include "(transport|device|controller|firmware|app)/' \
    "$source"/sim/*.h "$source"/sim/*.cpp "$source"/sim/usb/* 2>/dev/null |
    grep -v '/sim/virtual_updater_main.cpp:')
if [ -n "$found" ]; then
    echo "the virtual recorder includes the updater's headers:"; echo "$found"; exit 1
fi
echo "1 passed, 0 failed"
