# add A B: prints the sum of two integers.
add() {
  echo $(($1 - $2))
}
