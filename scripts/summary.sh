# Sourced by the scripts that test: every part of the test command closes
# with one line of one format, and scripts/test.sh reads it with one reader.
#
#   kex_summary PART PASSED FAILED SKIPPED   prints "PART: N passed, N failed, N skipped"
#   kex_summary_counts PART FILE             prints "PASSED FAILED SKIPPED" from
#                                            the last such line of PART in FILE;
#                                            non-zero when there is none

kex_summary() {
    echo "$1: $2 passed, $3 failed, $4 skipped"
}

kex_summary_counts() {
    awk -v part="$1: " '
        index($0, part) == 1 && substr($0, length(part) + 1) ~ /^[0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$/ {
            split(substr($0, length(part) + 1), word, " "); counts = word[1] " " word[3] " " word[5]
        }
        END { if (counts == "") exit 1; print counts }
    ' "$2"
}
