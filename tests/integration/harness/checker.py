#!/usr/bin/python3
"""Python's view of what the servers hold, for the integration tests to compare with.

  checker.py describe FILE.eml
      prints mailjson.describe of the message as JSON.
  checker.py mailbox PORT USER PASSWORD
      logs in to the POP3 server on 127.0.0.1 and prints {"uidls": [...], "ids": [...]}: the
      unique ids and the X-Corpus-Id (or, lacking that, the Message-ID) of every message.

Exit code 0 on success, 2 on a failure (which is printed on stderr).
"""

import email
import email.policy
import json
import poplib
import sys

import mailjson


def describe(path: str) -> dict:
    with open(path, "rb") as f:
        return mailjson.describe(f.read())


def mailbox(port: str, user: str, password: str) -> dict:
    pop = poplib.POP3("127.0.0.1", int(port), timeout=10)
    try:
        pop.user(user)
        pop.pass_(password)
        uidls = [line.split(b" ", 1)[1].decode() for line in pop.uidl()[1]]
        ids = []
        for number in range(1, len(uidls) + 1):
            head = b"\r\n".join(pop.top(number, 0)[1])
            msg = email.message_from_bytes(head, policy=email.policy.compat32)
            ids.append(msg.get("X-Corpus-Id") or msg.get("Message-ID"))
        return {"uidls": uidls, "ids": ids}
    finally:
        pop.quit()


def main(argv: list[str]) -> int:
    try:
        if len(argv) == 2 and argv[0] == "describe":
            result = describe(argv[1])
        elif len(argv) == 4 and argv[0] == "mailbox":
            result = mailbox(*argv[1:])
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except (OSError, poplib.error_proto) as e:
        print(f"checker: {e}", file=sys.stderr)
        return 2
    json.dump(result, sys.stdout, ensure_ascii=False)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
