#!/bin/bash
# Fails when a source file includes a header of a layer it may not use, or reaches the operating
# system outside src/platform. The allowed uses are the same as the link rules in src/*/CMakeLists.txt.
set -uo pipefail
src=${1:?usage: check-layers.sh SRC_DIR}

declare -A uses=(
    [platform]=""
    [config]="platform"
    [core]="config platform"
    [engine]="core config platform"
    [maintenance]="engine core config platform"
    [clientsvc]="core config platform"
    [upgrade]="engine core config platform"
    [ui]="maintenance upgrade clientsvc engine core config platform"
    [app]="ui maintenance upgrade clientsvc engine core config platform"
    [upgradeprogram]="upgrade engine core config platform"
)

failures=0
for dir in "$src"/*/; do
    layer=$(basename "$dir")
    if [ -z "${uses[$layer]+set}" ]; then
        echo "unknown layer folder: src/$layer (add it to tests/architecture/check-layers.sh)"
        failures=$((failures + 1))
        continue
    fi
    allowed=" $layer ${uses[$layer]} "
    while IFS=: read -r file line text; do
        used=$(sed -E 's/^#include "([a-z_]+)\/.*/\1/' <<<"$text")
        if [[ "$allowed" != *" $used "* ]]; then
            echo "${file#"$src"/}:$line: $layer may not use $used: $text"
            failures=$((failures + 1))
        fi
    done < <(grep -rnE '^#include "[a-z_]+/' "$dir" --include='*.h' --include='*.cpp')
done

# The operating system is reached through src/platform only: no system headers, no /proc, no flushes.
# Tests of the platform layer itself may cross-check it against the system, and the tests' one
# hostile peer of the control socket (tests/support/rawpeer.h) needs the bare socket calls.
root=$(dirname "$src")
while IFS= read -r hit; do
    echo "$hit: an operating-system call outside src/platform"
    failures=$((failures + 1))
done < <(cd "$root" && grep -rnE '#include <sys/|"/proc/(self|net|%1|[0-9])|[^a-z_]fsync\(|[^a-z_]statvfs\(|[^a-z_]prctl\(|[^a-z_]setrlimit\(' \
             src bench tests --include='*.cpp' --include='*.h' | grep -vE '^((src|tests)/platform/|tests/support/rawpeer\.h:)')

# Files are opened, written, renamed and flushed through FileSystem only: raw POSIX file calls and
# their headers stay in src/platform, where every result is checked in one place.
while IFS= read -r hit; do
    echo "$hit: a raw file call outside src/platform"
    failures=$((failures + 1))
done < <(cd "$root" && grep -rnE '(^|[^A-Za-z0-9_])::(open|openat|creat|read|write|pread|pwrite|close|unlink|unlinkat|rename|renameat|fsync|fdatasync|ftruncate|lseek)\(|#include <(fcntl|unistd)\.h>' \
             src --include='*.cpp' --include='*.h' | grep -vE '^src/platform/')

# Widgets belong to the windows: a layer below ui cannot link them, and an include of one there
# compiles anyway through Qt's include root (<QtWidgets/...>). The upgrade program is a program of
# its own with its one message box.
while IFS= read -r hit; do
    echo "$hit: a widget header outside src/ui and src/app"
    failures=$((failures + 1))
done < <(cd "$root" && grep -rnE '#include <(QtWidgets/|QtWidgets>|QApplication>|QWidget>|QMessageBox>|QDialog|QMainWindow>|QSystemTrayIcon>|QMenu>|QPushButton>|QLabel>|QLineEdit>|QFileDialog>|QAbstractButton>|QStyle)' \
             src --include='*.cpp' --include='*.h' | grep -vE '^src/(ui|app|upgradeprogram)/')

if [ "$failures" -ne 0 ]; then
    echo "$failures layering violation(s)"
    exit 1
fi
echo "layers: all includes follow the rules"
