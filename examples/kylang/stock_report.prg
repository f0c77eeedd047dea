# stock_report: lists the table "items" (made by the connector example)
# with a total line. Meant for line mode: standard input is not a terminal,
# so each GET reads one line, for example
#
#   printf '9191\nadmin\nmy-password\n' | ./stock_report
#
# Output is screen text (ANSI cursor moves and colours) on standard output.

VAR portno = 9191
VAR uname = ""
VAR pw = ""
@ 0, 0 SAY "Port:" GET portno
@ 1, 0 SAY "User:" GET uname
@ 2, 0 SAY "Password:" GET pw

CONNECT TO KYRELDB HOST "127.0.0.1" ON PORT portno USER uname PASSWORD pw AS db
IF db = NULL THEN
  # The runtime has already shown why on the last screen row.
  @ 4, 0 SAY "no report: cannot log in"
ELSE
  VAR reply = db.query("SELECT id, name, qty, price FROM items ORDER BY id LIMIT 15")
  @ 4, 0 SAY "Id"
  @ 4, 6 SAY "Item"
  @ 4, 30 SAY "Qty"
  @ 4, 38 SAY "Price"
  VAR row = 5
  VAR pieces = 0
  VAR value = 0.0
  FOREACH it IN TO_RS(reply)
    @ row, 0 SAY it["id"]
    @ row, 6 SAY it["name"]
    @ row, 30 SAY it["qty"]
    @ row, 38 SAY it["price"]
    pieces = pieces + it["qty"]
    value = value + it["qty"] * it["price"]
    row = row + 1
  ENDFOREACH
  IF row = 5 THEN
    # No rows: an error reply, or an empty table. Show the reply as it is.
    @ 5, 0 SAY reply
  ELSE
    @ row + 1, 0 SAY (row - 5) + " items, " + pieces + " pieces, stock value " + value
  ENDIF
  db.close()
ENDIF
