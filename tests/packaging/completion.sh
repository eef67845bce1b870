#!/usr/bin/env bash
# The bash completion loads in a plain bash and completes what it should:
# the -t values, the options, serial numbers and builds of the store named
# with -i (or under HOME), and -s ports.
# Usage: completion.sh COMPLETION_FILE
set -uo pipefail
file=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# shellcheck disable=SC1090
source "$file" || { echo "the completion does not load"; exit 1; }

# Completes the words as typed (the last one is the word being completed)
# and prints the sorted replies on one line.
complete_words()
{
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _updater
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect()
{
    local want=$1
    shift
    local got
    got=$(complete_words "$@")
    if [ "$got" != "$want" ]; then
        echo "FAIL: [$*] completed to [$got], expected [$want]"
        failures=$((failures + 1))
    fi
}

[ "$(complete -p Updater 2>/dev/null)" = "complete -F _updater Updater" ] ||
    { echo "FAIL: Updater has no completion"; failures=$((failures + 1)); }

expect "AETHER RECOVER TCPIP USB" Updater -t ""
expect "TCPIP" Updater -D -t T
expect "TCPIP" Updater -D -t = TC
expect "AETHER RECOVER TCPIP USB" Updater -D -t =
expect "-OVERRIDE" Updater -O
expect "--all --check --help --history --jobs --json --record" Updater --
expect "1 16 2 4 8" Updater -U --all --jobs ""
expect "" Updater -u ""

mkdir -p "$work/base/updater/40F5849A" "$work/base/updater/D272031D" "$work/base/updater/notes" \
    "$work/home/.quorvane/updater/0000BEEF"
touch "$work/base/updater/40F5849A/4870.bird" "$work/base/updater/40F5849A/4650.bird" \
    "$work/base/updater/40F5849A/.settings"
expect "40F5849A D272031D" Updater -U -i "$work/base" -d ""
expect "40F5849A" Updater -U -i "$work/base" -d 40f
expect "4650 4870" Updater -U -i "$work/base" -d 40F5849A -b ""
HOME="$work/home" expect "0000BEEF" Updater -B -r ""
expect "USB" Updater -N -s U

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "completion: all cases passed"
