#!/bin/sh
# What help2man reads as linkrate's --help: the program's own help, then the
# help of each subcommand it lists, so the man page shows every option.
# The program is $LINKRATE_PROGRAM.
set -eu
program=${LINKRATE_PROGRAM:?LINKRATE_PROGRAM names the linkrate program}
case "${1:-}" in
  --version) exec "$program" --version ;;
esac
# Every help ends with the exit statuses; the man page says them once, in its
# own EXIT STATUS section (linkrate.h2m), so the paragraph is left out here.
without_exit_statuses() {
  awk '/^Exit status:/ { skip = 1 } skip && /^$/ { skip = 0; next } !skip { print }'
}
"$program" --help | without_exit_statuses | sed 's#^Usage: [^ ]*linkrate#Usage: linkrate#'
for sub in $("$program" --help | awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 }'); do
  echo
  # "Command NAME:" heads a subsection; the subcommand's usage and summary
  # come first, then its arguments and options.
  "$program" "$sub" --help | without_exit_statuses | awk -v sub_name="$sub" '
    NR == 1 { summary = $0; next }
    /^Usage:/ {
      sub(/^Usage: [^ ]*linkrate/, "linkrate")
      print "Command " sub_name ":"
      print "  " $0
      print "         " summary
      next
    }
    /^(Options|Positionals):$/ || /-h,--help/ { next }
    { print }'
done
