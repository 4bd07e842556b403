#!/usr/bin/python3
"""Prints a stored message (an .eml file) as one JSON object for the e-mail tests, read with Python's
own e-mail parser: the decoded headers that matter, how often Subject occurs, the MIME tree in one
line, and the decoded text of each text leaf in order.

tree: type;charset=..;disposition;id=..;name=.. per part, children in [...] after a multipart.
"""
import email
import email.policy
import json
import sys

with open(sys.argv[1], "rb") as f:
    message = email.message_from_binary_file(f, policy=email.policy.default)

texts = []


def describe(part):
    fields = [part.get_content_type()]
    if part.get_param("charset") and not part.is_multipart():
        fields.append("charset=" + part.get_param("charset").lower())
    if part.get_content_disposition():
        fields.append(part.get_content_disposition())
    if part["Content-ID"]:
        fields.append("id=" + str(part["Content-ID"]))
    if part.get_filename():
        fields.append("name=" + part.get_filename())
    text = ";".join(fields)
    if part.is_multipart():
        return text + "[" + ",".join(describe(child) for child in part.iter_parts()) + "]"
    payload = part.get_payload(decode=True) or b""
    if part.get_content_maintype() == "text":
        texts.append(payload.decode(part.get_param("charset") or "ascii"))
    else:
        texts.append("%d bytes" % len(payload))
    return text


def header(name):
    value = message[name]
    return None if value is None else str(value)


# The JSON names of the headers printed, in order after the subject.
HEADERS = {"from": "From", "sender": "Sender", "to": "To", "cc": "Cc", "bcc": "Bcc", "replyTo": "Reply-To",
           "newsgroups": "Newsgroups", "priority": "X-Priority", "receipt": "Disposition-Notification-To",
           "messageId": "Message-ID", "userAgent": "User-Agent"}
print(json.dumps({
    "tree": describe(message),
    "texts": texts,
    "subject": header("Subject"),
    "subjectHeaders": len(message.get_all("Subject") or []),
    **{key: header(name) for key, name in HEADERS.items()},
    "defects": [type(d).__name__ for d in message.defects],
}, ensure_ascii=False))
