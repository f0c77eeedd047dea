#!/usr/bin/env python3
"""Logs in as the default administrator and makes the forced password change.
Usage: first_login.py PORT OLD_PASSWORD NEW_PASSWORD"""
import json, socket, struct, sys

def ask(s, obj):
    d = json.dumps(obj).encode()
    s.sendall(struct.pack(">I", len(d)) + d)
    head = b""
    while len(head) < 4:
        chunk = s.recv(4 - len(head))
        if not chunk:
            raise SystemExit("connection closed")
        head += chunk
    n = struct.unpack(">I", head)[0]
    body = b""
    while len(body) < n:
        chunk = s.recv(n - len(body))
        if not chunk:
            raise SystemExit("connection closed")
        body += chunk
    return json.loads(body)

port, old, new = int(sys.argv[1]), sys.argv[2], sys.argv[3]
with socket.create_connection(("127.0.0.1", port)) as s:
    r = ask(s, {"action": "login", "username": "admin", "password": old})
    if not r.get("ok"):
        raise SystemExit("login failed: %s" % r)
    if r.get("must_change_password"):
        r = ask(s, {"action": "change_password", "new_password": new})
        if not r.get("ok"):
            raise SystemExit("password change failed: %s" % r)
