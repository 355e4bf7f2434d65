"""verimex-server against its own OpenAPI document (tools/verimex-server/openapi.json): the document it serves is
the file, and every operation, and every error the tests provoke, answers with a status, media type, headers and a
body (checked by python3-jsonschema) that the document lists; a method a path does not list is refused with 405 and
an Allow of exactly the listed ones. That the server's route table has no route the document lacks is the C++ test's
(server_unit_test), which reads the table itself."""

import json
import os
import urllib.parse

import jsonschema

from serverlib import ServerTest

DOCUMENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "verimex-server",
                        "openapi.json")
TOKEN = "openapi-token"
METHODS = ["get", "put", "post", "delete", "options", "head", "patch", "trace"]

with open(DOCUMENT, "rb") as f:
    DOCUMENT_BYTES = f.read()
DOC = json.loads(DOCUMENT_BYTES)


def resolve(node):
    """node with every local $ref replaced by what it points at (the document has no cycles)."""
    if isinstance(node, dict):
        if "$ref" in node:
            target = DOC
            for part in node["$ref"].lstrip("#/").split("/"):
                target = target[part.replace("~1", "/").replace("~0", "~")]
            return resolve(target)
        return {k: resolve(v) for k, v in node.items()}
    if isinstance(node, list):
        return [resolve(v) for v in node]
    return node


def operations():
    for path, item in DOC["paths"].items():
        for method in METHODS:
            if method in item:
                yield path, method.upper(), resolve(item[method]), resolve(item.get("parameters", []))


class OpenApi(ServerTest):
    args, headers = ["-f", "tester.server.test", "-t", "10", "--mx-interval", "0", "--token", TOKEN], \
        {"Authorization": "Bearer " + TOKEN}

    def assert_listed(self, path, method, op, reply):
        """The reply (status, headers, body) is one the operation lists: status, media type, headers, body."""
        status, headers, body = reply
        where = (method, path, status, body[:200])
        self.assertIn(str(status), op["responses"], where)
        listed = op["responses"][str(status)]
        for name in listed.get("headers", {}):
            self.assertIn(name, headers, where)
        media = headers.get("Content-Type", "").split(";")[0].strip()
        self.assertIn(media, listed.get("content", {}), where)
        schema = listed["content"][media]["schema"]
        if media == "application/json":
            jsonschema.Draft202012Validator(schema).validate(json.loads(body))
        elif media == "application/x-ndjson":
            lines = body.decode().splitlines()
            self.assertTrue(lines, where)
            for line in lines:
                jsonschema.Draft202012Validator(schema["contentSchema"]).validate(json.loads(line))
        else:
            jsonschema.Draft202012Validator(schema).validate(body.decode())

    def test_the_served_document_is_the_file_and_an_openapi_3_1_document(self):
        status, headers, body = self.server.request("GET", "/v1/openapi.json", headers={"Authorization": None})
        self.assertEqual((status, headers["Content-Type"]), (200, "application/json; charset=utf-8"))
        self.assertEqual(body, DOCUMENT_BYTES)
        self.assertEqual(DOC["openapi"], "3.1.0")

    def test_every_operation_answers_as_listed(self):
        job = "doc job ä%"  # a name that needs percent-encoding
        segment = urllib.parse.quote(job, safe="")
        self.assertEqual(self.server.json("POST", "/v1/jobs", {"addresses": ["alice@yes.server.test"],
                                                               "name": job})[0], 201)
        # Removing comes last: the other operations need the job.
        ops = sorted(operations(), key=lambda o: o[1] == "DELETE")
        for path, method, op, path_params in ops:
            params = path_params + op.get("parameters", [])
            query = {p["name"]: "alice@yes.server.test" for p in params if p["in"] == "query" and p.get("required")}
            if path == "/v1/preflight":
                # Its port-25 test host in the private network, and no blocklist.
                query = {"test_host": "mx.yes.server.test", "blocklists": "", "timeout": 2}
            elif path == "/v1/check":
                query["method"] = "rcpt"  # every member of the report
            url = path.replace("{name}", segment) + ("?" + urllib.parse.urlencode(query) if query else "")
            body = None
            if "requestBody" in op:
                body = {"addresses": ["bob@no.server.test", "alice@yes.server.test"], "name": job, "timeout": 5}
                jsonschema.Draft202012Validator(op["requestBody"]["content"]["application/json"]["schema"]).validate(body)
            guarded = bool(op.get("security"))
            with self.subTest(method=method, path=url):
                reply = self.server.request(method, url, body)
                self.assertIn(reply[0], (200, 201), reply[2][:200])
                self.assert_listed(path, method, op, reply)
                if method == "GET":
                    status, _, head_body = self.server.request("HEAD", url)
                    self.assertEqual((status, head_body), (reply[0], b""))
                if method != "DELETE":
                    # Without the token: 401 where the document asks for it, the same answer elsewhere.
                    bare = self.server.request(method, url, body, headers={"Authorization": None})
                    self.assertEqual(bare[0], 401 if guarded else reply[0])
                    self.assert_listed(path, method, op, bare)

    def test_errors_are_listed_for_their_operation(self):
        cases = [  # method, path as in the document, the request's path, body, headers, status
            ("GET", "/v1/check", "/v1/check", None, {}, 400),
            ("GET", "/v1/check", "/v1/check?email=a@yes.server.test&timeout=40000", None, {}, 400),
            ("GET", "/v1/check", "/v1/check?email=a@yes.server.test&method=smtp", None, {}, 400),
            ("GET", "/v1/check", "/v1/check?email=a@yes.server.test&tls=maybe", None, {}, 400),
            ("GET", "/v1/preflight", "/v1/preflight?mail_from=x", None, {}, 400),
            ("GET", "/v1/preflight", "/v1/preflight?public_address=nowhere&test_host=mx.yes.server.test", None, {},
             400),
            ("POST", "/v1/jobs", "/v1/jobs", {"addresses": ["a@b"], "method": "smtp"}, {}, 400),
            ("GET", "/v1/jobs/{name}", "/v1/jobs/missing", None, {}, 404),
            ("DELETE", "/v1/jobs/{name}", "/v1/jobs/missing", None, {}, 404),
            ("GET", "/v1/jobs/{name}/results", "/v1/jobs/missing/results", None, {}, 404),
            ("POST", "/v1/jobs", "/v1/jobs", b"{", {"Content-Type": "application/json"}, 400),
            ("POST", "/v1/jobs", "/v1/jobs", {"addresses": []}, {}, 400),
            ("POST", "/v1/jobs", "/v1/jobs", b"a@b", {"Content-Type": "application/xml"}, 415),
            ("POST", "/v1/jobs", "/v1/jobs", b"x" * (9 << 20), {"Content-Type": "text/plain"}, 413),
            ("POST", "/v1/jobs", "/v1/jobs", {"addresses": ["a@b"]}, {"Origin": "http://attacker.test"}, 403),
            ("DELETE", "/v1/jobs/{name}", "/v1/jobs/e", None, {"Origin": "null"}, 403),
            ("GET", "/v1/check", "/v1/check?email=a@yes.server.test", None, {"Origin": "http://attacker.test"}, 403),
            ("GET", "/v1/jobs", "/v1/jobs", None, {"Host": "attacker.test"}, 421),
            ("GET", "/", "/", None, {"Host": "attacker.test:80"}, 421),
            ("GET", "/healthz", "/healthz", None, {"Host": "attacker.test"}, 421),
        ]
        self.assertEqual(self.server.json("POST", "/v1/jobs", {"addresses": ["x@yes.server.test"], "name": "e"})[0],
                         201)
        cases.append(("GET", "/v1/jobs/{name}/results", "/v1/jobs/e/results?format=xml", None, {}, 400))
        cases.append(("GET", "/v1/jobs/{name}/results", "/v1/jobs/e/results?offset=-1", None, {}, 400))
        for method, path, url, body, headers, status in cases:
            with self.subTest(method=method, url=url[:80]):
                op = resolve(DOC["paths"][path][method.lower()])
                reply = self.server.request(method, url, body, headers)
                self.assertEqual(reply[0], status, reply[2][:200])
                self.assert_listed(path, method, op, reply)

    def test_methods_a_path_does_not_list_are_refused_with_an_allow_of_those_it_lists(self):
        for path, item in DOC["paths"].items():
            listed = [m.upper() for m in METHODS if m in item]
            allowed = sorted(listed + (["HEAD"] if "GET" in listed else []))
            url = path.replace("{name}", "some-job")
            for method in [m.upper() for m in METHODS if m not in item and m not in ("head", "options", "trace")]:
                with self.subTest(method=method, path=path):
                    status, headers, body = self.server.request(method, url, b"" if method != "GET" else None)
                    self.assertEqual(status, 405, body)
                    self.assertEqual(sorted(headers["Allow"].split(", ")), allowed)
        self.assertEqual(self.server.request("GET", "/v1/nothing-here")[0], 404)
