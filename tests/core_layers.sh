#!/bin/sh
# core_layers.sh ARCHIVE SOURCES_LIST GUI_LIB WIDGETS_LIB GUI_INCLUDE WIDGETS_INCLUDE [PROGRAM...]
# The reader core stays below the window: the archive uses no symbol that
# Qt Gui or Qt Widgets defines, and none of its sources includes a header of
# those modules, a Designer form's header or the window's own headers. The
# programs built on the core alone (rx-provision) need neither library.
set -eu
archive=$1 sources=$2 gui=$3 widgets=$4 guiinc=$5 widgetsinc=$6
shift 6
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0

nm -D --defined-only "$gui" "$widgets" | awk 'NF == 3 { sub(/@.*/, "", $3); print $3 }' | sort -u >"$tmp/above"
nm --undefined-only "$archive" 2>/dev/null | awk '$1 == "U" { print $2 }' | sort -u >"$tmp/used"
comm -12 "$tmp/above" "$tmp/used" | c++filt >"$tmp/offending"
if [ -s "$tmp/offending" ]; then
    echo "rxclient_core uses Qt Gui or Qt Widgets:"
    sed 's/^/  /' "$tmp/offending"
    status=1
fi

# Every header of the two modules, by the names code includes them by.
{ ls "$guiinc"; ls "$widgetsinc"; } | sed 's/[.]h$//' | sort -u >"$tmp/headers"
while read -r source; do
    grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' "$source" | while IFS= read -r line; do
        name=$(printf '%s\n' "$line" | sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]*)[>"].*/\1/')
        base=$(basename "$name" .h)
        case $name in
        ui_*|app/*|Qt[GW]*/*) echo "$source:${line%%:*}: $name" ;;
        *) if grep -qxF "$base" "$tmp/headers"; then echo "$source:${line%%:*}: $name"; fi ;;
        esac
    done
done <"$sources" >"$tmp/includes"
if [ -s "$tmp/includes" ]; then
    echo "rxclient_core sources include headers of the window or of Qt Gui/Widgets:"
    sed 's/^/  /' "$tmp/includes"
    status=1
fi
for program; do
    if readelf -d "$program" | grep -E 'NEEDED.*libQt[0-9]*(Gui|Widgets)'; then
        echo "$program needs Qt Gui or Qt Widgets"
        status=1
    fi
done
exit $status
