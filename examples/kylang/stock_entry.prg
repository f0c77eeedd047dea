# stock_entry: a menu-driven entry form for the table "items" (made by the
# connector example). Run it on a terminal:
#
#   ./stock_entry
#
# It asks for the server's port, a user and a password, then shows a menu
# bar. Left and Right choose an item, Enter or Down opens it, Up and Down
# move in a pop-up, Esc closes it; Ctrl-X ends the program. Output starts at
# row 6: the area a pop-up covered is blanked when its choice returns.

VAR portno = 9191
VAR uname = "admin"
VAR pw = ""

# The fields of the entry form. Each GET stores by its mask: "###" takes
# exactly three digits and gives an integer, "###.##" five digits and gives
# a number with a fraction; the name is free text.
VAR id
VAR name
VAR qty
VAR price

# CONNECT declares its alias, so the functions that use db come after it.
CLEAR SCREEN
@ 1, 0 SAY "Port:" GET portno
@ 2, 0 SAY "User:" GET uname
@ 3, 0 SAY "Password:" GET pw
CONNECT TO KYRELDB ON PORT portno USER uname PASSWORD pw AS db

# A string as a SQL literal: quoted, with ' and \ escaped by a backslash.
FUNCTION sql_text(s)
  VAR out = "'"
  VAR i = 0
  WHILE s[i] <> NULL
    VAR ch = s[i]
    IF ch = "'" OR ch = "\\" THEN
      out = out + "\\"
    ENDIF
    out = out + ch
    i = i + 1
  ENDWHILE
  RETURN out + "'"
ENDFUNCTION

DEFINE FORM item_form
  DEFINE TABLE DOUBLE FROM 6, 0 TO 12, 50
  @ 7, 2 SAY "New item (Up: previous field)"
  @ 8, 2 SAY "Id (3 digits):" GET id MASK "###"
  @ 9, 2 SAY "Name:" GET name
  @ 10, 2 SAY "Quantity (4 digits):" GET qty MASK "####"
  @ 11, 2 SAY "Price (000.00):" GET price MASK "###.##"
ENDFORM

FUNCTION new_item()
  CLEAR SCREEN
  id = NULL
  name = NULL
  qty = NULL
  price = NULL
  READ item_form
  # A form left with Ctrl-X comes back with fields still empty.
  IF id = NULL OR name = NULL OR qty = NULL OR price = NULL THEN
    @ 14, 2 SAY "Not stored: every field is needed."
    RETURN
  ENDIF
  VAR reply = db.execute("INSERT INTO items (id, name, qty, price) VALUES (" + id + ", " + sql_text(name) + ", " + qty + ", " + price + ")")
  @ 14, 2 SAY "Server: " + reply
ENDFUNCTION

FUNCTION list_items()
  CLEAR SCREEN
  VAR reply = db.query("SELECT id, name, qty, price FROM items ORDER BY id LIMIT 16")
  VAR row = 6
  FOREACH it IN TO_RS(reply)
    @ row, 2 SAY it["id"]
    @ row, 8 SAY it["name"]
    @ row, 40 SAY it["qty"]
    @ row, 48 SAY it["price"]
    row = row + 1
  ENDFOREACH
  IF row = 6 THEN
    @ 6, 2 SAY reply
  ENDIF
ENDFUNCTION

FUNCTION show_help()
  CLEAR SCREEN
  @ 6, 2 SAY "Items > New item: add a row to the table items"
  @ 7, 2 SAY "Items > List items: show the first 16 rows"
  @ 8, 2 SAY "Ctrl-X: quit"
ENDFUNCTION

IF db = NULL THEN
  @ 5, 0 SAY "Cannot log in. Press Ctrl-X to end."
ELSE
  CLEAR SCREEN
  DEFINE MENU main
  ADD ITEM items TO MENU main PROMPT "Items"
  ADD ITEM help TO MENU main PROMPT "Help" CALL show_help()
  DEFINE POPUP item_menu AS items {
    CHOICE "New item" CALL new_item()
    CHOICE "List items" CALL list_items()
  }
  @ 2, 2 SAY "Logged in. Enter opens Items; Ctrl-X quits."
ENDIF
