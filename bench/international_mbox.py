#!/usr/bin/python3
"""An mbox of mail that really is international, for the scan benchmark.

  international_mbox.py FILE MEGABYTES MESSAGES words|ascii

With "words", the senders' names and the subjects are mostly encoded words
in 20 charsets, B and Q, as Python's email package writes them; with
"ascii", the same messages with every sender and subject plain ASCII.  No
message has a status: each is listed and counted.  The same mailbox every
time (a fixed seed).
"""
import random
import sys
from email import charset as charsets
from email.header import Header

# The charsets, and text that each can carry.
TEXTS = {
    "utf-8": ["Grüße aus Köln", "Встреча в пятницу", "会議の議題について", "Ελέγχος συστήματος", "مرحبا بكم"],
    "iso-8859-1": ["Réunion à Genève", "Façade über Straße", "Año nuevo señor"],
    "iso-8859-2": ["Zażółć gęślą jaźń", "Příliš žluťoučký kůň"],
    "iso-8859-5": ["Привет из Москвы", "Отчёт за квартал"],
    "iso-8859-7": ["Καλημέρα κόσμε", "Συνάντηση αύριο"],
    "iso-8859-9": ["Toplantı yarın", "Güle güle şöför"],
    "iso-8859-15": ["Prix en €uro", "Œuvre complète"],
    "windows-1250": ["Zpráva o stavu", "Čeština není těžká"],
    "windows-1251": ["Добрый день", "Счёт на оплату"],
    "windows-1252": ["Quote “this” — please", "Café crème"],
    "iso-8859-4": ["Žalias ūkis", "Ąžuolų gatvė"],
    "koi8-r": ["Новости проекта", "Список дел"],
    "shift_jis": ["こんにちは世界", "請求書の送付"],
    "euc-jp": ["お知らせです", "明日の会議"],
    "iso-2022-jp": ["ご注文ありがとう", "日本語の件名"],
    "gb2312": ["你好世界", "会议通知"],
    "gbk": ["项目进度报告", "欢迎光临"],
    "gb18030": ["年度总结", "请查收附件"],
    "big5": ["會議記錄", "歡迎光臨"],
    "euc-kr": ["안녕하세요", "회의 안내"],
}
WORDS = ("the mail server report meeting please review attached quarter budget release notes thanks "
         "regards tomorrow update deadline build patch question about your order").split()


def encoded(rng, text, name):
    cs = charsets.Charset(name)
    # Keep the charset asked for: Python would write Japanese as ISO-2022-JP.
    cs.output_charset = cs.input_charset = name
    cs.output_codec = cs.input_codec = name
    cs.header_encoding = charsets.BASE64 if rng.random() < 0.5 else charsets.QP
    return Header(text, cs).encode(linesep="\n")


def field(rng, text, ascii_only):
    if ascii_only or rng.random() < 0.1:
        return " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 8)))
    name = rng.choice(list(TEXTS))
    return encoded(rng, rng.choice(TEXTS[name]) if text is None else text, name)


def main():
    path, megabytes, messages, kind = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    ascii_only = kind == "ascii"
    rng = random.Random(2026)
    body = " ".join(rng.choice(WORDS) for _ in range(400000))
    lines = [body[i:i + 72] for i in range(0, len(body) - 72, 72)]
    per_message = (megabytes << 20) // messages
    with open(path, "w", encoding="utf-8") as out:
        for n in range(1, messages + 1):
            sender = field(rng, None, ascii_only)
            head = ("From sender%d@example.org Mon Dec  7 10:00:00 2026\n"
                    "Received: from mx.example.net by mail.example.org; Mon, 7 Dec 2026 10:00:00 +0000\n"
                    "Message-ID: <%d@example.org>\nDate: Mon, 7 Dec 2026 10:00:00 +0000\n"
                    "From: %s <sender%d@example.org>\nTo: user@example.org\nSubject: %s\n"
                    "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n\n"
                    % (n, n, sender, n, field(rng, None, ascii_only)))
            out.write(head)
            size = len(head)
            start = rng.randrange(len(lines))
            while size < per_message:
                line = lines[start % len(lines)]
                out.write(line + "\n")
                size += len(line) + 1
                start += 1
            out.write("\n")


main()
