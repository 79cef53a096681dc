#!/usr/bin/env bash
# Gathers the user-facing texts (their Portuguese text is the message id) into
# po/quillet.pot and merges them into every po/<language>.po.
set -euo pipefail
cd "$(dirname "$0")/.."
xgettext --from-code=UTF-8 --add-comments --sort-by-file -k -ktr -ktrFormat -c++ \
  --package-name=quillet -o po/quillet.pot QuilletKit/*.cpp QuilletCLI/main.cpp
for po in po/*.po; do msgmerge --quiet --update --backup=none "$po" po/quillet.pot; done
