#!/usr/bin/env bash
# Fails when a file under src/ includes a header of a higher layer. Every target has src/ as
# its include root, so the link graph alone would not catch such an include. The layers are
# the libraries of src/CMakeLists.txt and src/app/CMakeLists.txt: a folder may include its
# own headers and those of the libraries it links, directly or through others. The links
# must not form a circle.
#
# Usage: check-layers.sh SOURCE_DIR
set -euo pipefail
root=${1:?usage: check-layers.sh SOURCE_DIR}
cd "$root/src"

declare -A dirOf links   # library -> folder; library -> the libraries it links
dirOf[fw_error]=platform/apperror.h
# fw_add_library(NAME ${CMAKE_CURRENT_SOURCE_DIR}/DIR LIBS...)
while read -r name dir rest; do
    dirOf[$name]=${dir#\$\{CMAKE_CURRENT_SOURCE_DIR\}/}
    links[$name]=$(tr ' ' '\n' <<<"$rest" | grep '^fw_' | tr '\n' ' ' || true)
done < <(sed -n 's/^fw_add_library(\(.*\))$/\1/p' CMakeLists.txt)
links[fw_error]=""
dirOf[fw_app]=app
links[fw_app]=$(sed -n 's/^target_link_libraries(fw_app PUBLIC \(.*\))$/\1/p' app/CMakeLists.txt \
                | tr ' ' '\n' | grep '^fw_' | tr '\n' ' ')
# The program's entry joins both front ends.
dirOf[ferrowarden]=app/main.cpp
links[ferrowarden]=$(sed -n 's/^target_link_libraries(ferrowarden PRIVATE \(.*\))$/\1/p' app/CMakeLists.txt \
                     | tr ' ' '\n' | grep '^fw_' | tr '\n' ' ')

# Everything a library reaches through its links.
declare -A reach
reachOf() {
    local start=$1 seen=" " todo=(${links[$1]}) next
    while ((${#todo[@]})); do
        next=${todo[0]}
        todo=("${todo[@]:1}")
        [[ $seen == *" $next "* ]] && continue
        seen+="$next "
        todo+=(${links[$next]:-})
    done
    reach[$start]=$seen
}
for library in "${!dirOf[@]}"; do reachOf "$library"; done

failures=0
for library in "${!dirOf[@]}"; do
    if [[ ${reach[$library]} == *" $library "* ]]; then
        echo "links: $library reaches itself through its links" >&2
        failures=$((failures + 1))
    fi
done

# The library a path under src/ belongs to: the one with the longest folder (or file) that
# holds it. Sets `owner`.
declare -A owners
ownerOf() {
    local path=$1 best="" bestLength=0 library dir
    if [[ -n ${owners[$path]+set} ]]; then
        owner=${owners[$path]}
        return
    fi
    for library in "${!dirOf[@]}"; do
        dir=${dirOf[$library]}
        if [[ $path == "$dir" || $path == "$dir"/* ]] && ((${#dir} > bestLength)); then
            best=$library
            bestLength=${#dir}
        fi
    done
    owners[$path]=$best
    owner=$best
}

while IFS= read -r file; do
    ownerOf "$file"
    from=$owner
    [[ -z $from ]] && { echo "$file: in no library of src/CMakeLists.txt" >&2; failures=$((failures + 1)); continue; }
    while IFS=: read -r line header; do
        [[ -f $header ]] || continue # a header of the system or a generated one
        ownerOf "$header"
        to=$owner
        if [[ $to != "$from" && ${reach[$from]} != *" $to "* ]]; then
            echo "$file:$line: includes $header ($to), which $from does not link" >&2
            failures=$((failures + 1))
        fi
    done < <(grep -no '^#include "[^"]*"' "$file" | sed 's/:#include "\(.*\)"$/:\1/')
done < <(find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||' | sort)

if ((failures)); then
    echo "$failures layer violation(s); README.md (Layout) shows which layer may include which" >&2
    exit 1
fi
echo "layers: every include stays within its library and those it links"
