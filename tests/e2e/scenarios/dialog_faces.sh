#!/usr/bin/env bash
# The dialogs' face where a system lacks it: every template drawn in the system's dialog font
# has the same controls as it stands; the session (which maps "宋体" to an installed CJK
# font) draws them in "宋体", the look they were made with.
source "$(dirname "$0")/../lib.sh"

out=$(wine "$VL_BUILD/tests/vl-font-check.exe" </dev/null 2>/dev/null | tr -d '\r')
expect_eq "templates in another face" "$out" "7 templates: the same controls in MS Shell Dlg
drawn in: 宋体
without the face: MS Shell Dlg"
finish
