# Drives a program through the count_flips_inject_events preload library:
# starts it with the library, sends the library commands and reads what it
# reports. The load tests and the benchmark share it. Source it after x11.sh;
# it only defines.

# start_preloaded LIBRARY DIR PROGRAM: starts PROGRAM with LIBRARY preloaded,
# its standard output and error in DIR/stdout and DIR/stderr, the library's
# reports in DIR/report. Sets program_pid, launched_us (the wall clock just
# before the start, in microseconds) and inject (a descriptor open on the
# library's command FIFO).
start_preloaded() {
    local library=$1 dir=$2 program=$3
    mkfifo "$dir/inject"
    : >"$dir/report"
    launched_us=${EPOCHREALTIME/[.,]/}
    DLT_INJECT=$dir/inject DLT_REPORT=$dir/report LD_PRELOAD=$library \
        "$program" >"$dir/stdout" 2>"$dir/stderr" &
    program_pid=$!
    # Open for reading too, so that opening it does not wait for the program.
    exec {inject}<>"$dir/inject"
}

# send COMMAND...: sends each command to the library, one a line.
send() {
    printf '%s\n' "$@" >&"$inject"
}

# reported DIR KEY: the values of DIR's report lines for KEY, one a line.
reported() {
    sed -n "s/^$2 //p" "$1/report"
}

# wait_for_report DIR KEY COUNT: waits (10 s at most) until DIR's report has
# COUNT lines for KEY, and fails at once if the program has ended.
wait_for_report() {
    local dir=$1 key=$2 count=$3 deadline=$((SECONDS + 10))
    until [ "$(grep -c "^$key " "$dir/report")" -ge "$count" ]; do
        if ! kill -0 "$program_pid" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then
            echo "no report of '$key' number $count; see $dir" >&2
            return 1
        fi
        sleep 0.005
    done
}

# flips DIR: asks the library for the flips so far and prints its answer,
# "COUNT TIME_NS".
flips() {
    local asked
    asked=$(grep -c '^flips ' "$1/report" || true)
    send flips
    wait_for_report "$1" flips $((asked + 1))
    reported "$1" flips | tail -n 1
}
