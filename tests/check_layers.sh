#!/usr/bin/env bash
# The folders under src/ are layers, bottom to top; a file may include
# headers from its own folder and the ones below, never from one above.
#   tests/check_layers.sh SRC_DIR
set -u
src=${1:?the src folder}
layers=(engine audio siggen ui app)
status=0
for ((i = 0; i < ${#layers[@]}; i++)); do
    for ((j = i + 1; j < ${#layers[@]}; j++)); do
        hits=$(grep -rn -E "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"${layers[j]}/" "$src/${layers[i]}" 2>/dev/null)
        if [ -n "$hits" ]; then
            echo "${layers[i]} includes from ${layers[j]}, a layer above it:"
            echo "$hits"
            status=1
        fi
    done
done
# Every folder is one of the layers, so none escapes the check.
for dir in "$src"/*/; do
    name=$(basename "$dir")
    if [[ ! " ${layers[*]} " =~ " $name " ]]; then
        echo "src/$name is not a layer (${layers[*]})"
        status=1
    fi
done
exit $status
