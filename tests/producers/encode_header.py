#!/usr/bin/python3
"""Header values and messages as Python's email package writes them.

  encode_header.py word CHARSET b|q TEXT        TEXT as encoded words in CHARSET
  encode_header.py split CHARSET b|q SEP TEXT   two words, cut inside a character, SEP between
  encode_header.py field NAME TEXT              a whole field, as the default policy folds it
  encode_header.py label LABEL CODEC b|q TEXT   TEXT in Python's CODEC, as one word that LABEL
                                                names, and on a second line that word as
                                                Python decodes its bytes by CODEC
  encode_header.py mbox PATH FROM SUBJECT       a message appended to an mbox
  encode_header.py mh FOLDER FROM SUBJECT       a message added to an MH folder
  encode_header.py maildir DIR COLON FROM SUBJECT FLAGS
                                                a message added to a Maildir, in cur
                                                with FLAGS if there are any, else in new
  encode_header.py spread PATH COUNT FIRST LAST an mbox of COUNT messages of some 4 KiB,
                                                "User N" about "subject N", read but for
                                                FIRST to LAST; its headers as mutt writes
                                                them back, so that mutt changes only flags

Folded lines are joined by a newline and a blank, as mail sits on disk.
"""
import base64
import binascii
import mailbox
import sys
from email import charset as charsets
from email.header import Header
from email.message import EmailMessage
from email.policy import default


def word_charset(name, encoding):
    cs = charsets.Charset(name)
    # Keep the charset asked for: Python would write Japanese as ISO-2022-JP.
    cs.output_charset = cs.input_charset = name
    cs.output_codec = cs.input_codec = name
    cs.header_encoding = charsets.BASE64 if encoding == "b" else charsets.QP
    return cs


def word(name, encoding, text):
    return Header(text, word_charset(name, encoding)).encode(linesep="\n")


def encoded_text(encoding, data):
    if encoding == "b":
        return base64.b64encode(data).decode()
    return binascii.b2a_qp(data, header=True).decode().replace("=\n", "")


def split(name, encoding, sep, text):
    data = text.encode(name)
    # Inside the first character that takes more than one byte.
    at = next(i for i, c in enumerate(text) if len(c.encode(name)) > 1)
    cut = len(text[:at].encode(name)) + 1
    return sep.join("=?%s?%s?%s?=" % (name, encoding, encoded_text(encoding, part))
                    for part in (data[:cut], data[cut:]))


def label(name, codec, encoding, text):
    data = text.encode(codec)
    return "=?%s?%s?%s?=\n%s" % (name, encoding, encoded_text(encoding, data), data.decode(codec))


def field(name, text):
    msg = EmailMessage(policy=default)
    msg[name] = text
    return msg.as_bytes().decode("ascii").split("\n\n")[0] + "\n"


def message(sender, subject):
    msg = EmailMessage(policy=default)
    msg["From"] = sender
    msg["To"] = "you@example.org"
    msg["Subject"] = subject
    msg.set_content("Hello.\n")
    return msg


def spread(path, count, first, last):
    body = "".join("line %d of a body long enough to spread the mailbox out\n" % i for i in range(64))
    box = mailbox.mbox(path)
    for n in range(1, count + 1):
        msg = mailbox.mboxMessage()
        msg["From"] = "User %d <user%d@example.org>" % (n, n)
        msg["Subject"] = "subject %d" % n
        if not first <= n <= last:
            msg["Status"] = "RO"
        msg["Content-Length"] = str(len(body))
        msg["Lines"] = str(body.count("\n"))
        msg.set_payload(body)
        msg.set_from("user%d@example.org" % n, (2026, 12, 7, 10, 0, 0, 0, 341, 0))
        box.add(msg)
    box.close()


def main(args):
    kind = args[0]
    if kind == "word":
        out = word(*args[1:4])
    elif kind == "split":
        out = split(*args[1:5])
    elif kind == "label":
        out = label(*args[1:5])
    elif kind == "field":
        out = field(*args[1:3])
    elif kind == "mbox":
        box = mailbox.mbox(args[1])
        box.add(message(args[2], args[3]))
        box.close()
        return
    elif kind == "spread":
        spread(args[1], *map(int, args[2:5]))
        return
    elif kind == "mh":
        box = mailbox.MH(args[1], create=True)
        box.add(message(args[2], args[3]))
        box.close()
        return
    elif kind == "maildir":
        box = mailbox.Maildir(args[1], create=True)
        box.colon = args[2]
        msg = mailbox.MaildirMessage(message(args[3], args[4]))
        if args[5]:
            msg.set_subdir("cur")
            msg.set_flags(args[5])
        box.add(msg)
        box.close()
        return
    else:
        sys.exit("encode_header.py: unknown kind " + kind)
    sys.stdout.write(out)


if __name__ == "__main__":
    main(sys.argv[1:])
