#!/bin/sh
# The sample program: prints its version and its settings.
here=$(dirname "$0")
echo "Sample App 1.0"
cat "$here/data/settings.ini"
