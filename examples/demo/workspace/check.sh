# The verifier: exit 0 only when add.sh adds correctly.
. ./add.sh
echo "verifier run" >> ../verifier-runs.log
for case in "2 3 5" "0 0 0" "-4 1 -3" "10 -10 0"; do
  set -- $case
  got=$(add "$1" "$2")
  if [ "$got" != "$3" ]; then
    echo "add $1 $2: expected $3, got $got" >&2
    exit 1
  fi
done
echo "all 4 cases pass"
