#!/usr/bin/env bash
# Brings the translations in app/I18n/*.po up to date with the program's
# texts: builds vorelle-texts, writes the template of every window, dialog
# and log text (build/vorelle.pot) and merges it into each PO file with
# gettext's msgmerge. New texts then stand untranslated in every PO file,
# changed ones as fuzzy; translate them and rebuild (the build turns the PO
# files into I18n/vorelle.i18n beside the program).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target vorelle-texts
QT_QPA_PLATFORM=offscreen build/app/vorelle-texts --pot build/vorelle.pot
for po in app/I18n/*.po; do
  msgmerge --quiet --update --backup=none --no-wrap "$po" build/vorelle.pot
  echo "$po: $(msgfmt --statistics -o /dev/null "$po" 2>&1)"
done
