#!/bin/sh
# The sample program: prints its version, its settings and its plug-ins.
here=$(dirname "$0")
echo "Sample App 2.0"
cat "$here/data/settings.ini"
for plugin in "$here"/plugins/*.txt; do
    echo "plug-in: $(head -n 1 "$plugin")"
done
