"""The `tesvorn` command, run as the installed console script on copies of
corpus files: an edit changes exactly its own lines, `check` passes the
whole corpus, and an error leaves every file as it was."""

import difflib
import importlib.metadata
import pathlib
import resource
import shutil
import signal
import subprocess
import sysconfig

import pytest

from testdata import corpus_files

COMMAND = pathlib.Path(sysconfig.get_path("scripts")) / "tesvorn"
CONFIG = pathlib.Path(__file__).resolve().parents[2] / "examples" / "config.yaml"

K8S = "GoogleCloudPlatform__kubernetes-engine-samples/"
# w: a Go workflow; k: a manifest whose annotation key
# holds dots; c: five documents with CRLF line breaks; g: a Deployment, then a
# Service (only the Service has spec.type); m: Compose services that merge
# anchored mappings (<<: *name); a: OpenAPI responses keyed '200', '401'...
FILES = {
    "w.yml": "actions__starter-workflows/ci__go.yml",
    "p.yml": "actions__starter-workflows/ci__python-package.yml",
    "k.yaml": K8S + "networking__load-balancing__basic-ingress-static.yaml",
    "c.yaml": K8S + "ai-ml__infw-gw__examples__getting-started__inference-pool-variables.yaml",
    "g.yaml": K8S + "ai-ml__llm-multiple-gpus__falcon-40b__gradio.yaml",
    "m.yml": "htpcBeginner__docker-traefik/archives__traefik_v1__docker-compose-npm.yml",
    "a.yml": "digitalocean__openapi/specification__resources__1-clicks__oneClicks_list.yml",
    "cf.yaml": "aws-cloudformation__aws-cloudformation-templates/Solutions__OperatingSystems__RHEL9_cfn-hup.yaml",
}
MADE = {"bad.yaml": b"a: [1, 2\n", "dup.yaml": b"a: 1\nb: 2\na: 3\n", "latin.yaml": b"a: \xe9\n",
        "keep.yaml": b"a:\n  b: |+\n    x\n\n\nc: 1\n",
        "s.yaml": b"name: 'Nightly # 2'\ntag: 'release: v2'\nnote: ''\nn: 1\n",
        "helm.yaml": b"# replicaCount: 1\n# image:\n#   tag: stable\n", "empty.yaml": b"",
        "nested-dup.yaml": b"- name: a\n  env:\n    A: 1\n    'A': 2\n",
        "cert.pem": b"-----BEGIN-----\nQUJD\n-----END-----\n", "nonl.yaml": b"a: 1\nb: 2"}
CFN_MODE = ('Resources.EC2Instance.Metadata."AWS::CloudFormation::Init".install_and_enable_cfn_hup.files.'
            '"/etc/cfn/cfn-hup.conf".mode')
CONTAINER = "spec.template.spec.containers[name=gradio]"


def run(*args: str, cwd: pathlib.Path, stdin: bytes = b"", **kwargs) -> subprocess.CompletedProcess[bytes]:
    if not COMMAND.exists():
        pytest.fail(f"{COMMAND} is not installed (make module installs it)")
    pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    return subprocess.run([str(COMMAND), *args], cwd=cwd, input=stdin, **(pipes | kwargs))


@pytest.fixture
def work(corpus, tmp_path) -> pathlib.Path:
    for name, source in FILES.items():
        shutil.copyfile(corpus / source, tmp_path / name)
    for name, data in MADE.items():
        (tmp_path / name).write_bytes(data)
    return tmp_path


def snapshot(folder: pathlib.Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in folder.iterdir()}


def changed_lines(before: bytes, after: bytes) -> tuple[list[str], list[str]]:
    """(removed, added) lines, split at "\\n" only, so a CR stays in its line."""
    a, b = before.decode().split("\n"), after.decode().split("\n")
    removed, added = [], []
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(a=a, b=b, autojunk=False).get_opcodes():
        removed += a[i1:i2] if tag in ("replace", "delete") else []
        added += b[j1:j2] if tag in ("replace", "insert") else []
    return removed, added


EDITS = [  # file, arguments, removed lines, added lines
    ("w.yml", ["set", "jobs.build.runs-on", "ubuntu-24.04"],
     ["    runs-on: ubuntu-latest"], ["    runs-on: ubuntu-24.04"]),
    ("w.yml", ["set", "--string", "jobs.build.steps[1].with.go-version", "1.22"],
     ["        go-version: '1.20'"], ["        go-version: '1.22'"]),
    # A flow VALUE under a block mapping or sequence is written in block style.
    ("w.yml", ["set", "jobs.build.env", '{CGO_ENABLED: "0"}'], [], ["    env:", '      CGO_ENABLED: "0"']),
    ("w.yml", ["set", "--create", "env.GOFLAGS", "--", "-mod=readonly"],
     [], ["env:", "  GOFLAGS: '-mod=readonly'", ""]),
    ("w.yml", ["delete", "jobs.build.steps[0]"], ["    - uses: actions/checkout@v4", ""], []),
    ("w.yml", ["insert", "on.push.branches", "-1", "main"],
     ["    branches: [ $default-branch ]"], ["    branches: [ $default-branch, main ]"]),
    ("w.yml", ["insert", "jobs.build.steps", "1", "{uses: actions/cache@v4}"],
     [], ["    - uses: actions/cache@v4"]),
    ("k.yaml", ["set", 'metadata.annotations."kubernetes.io/ingress.global-static-ip-name"', "ip-2"],
     ['    kubernetes.io/ingress.global-static-ip-name: "web-static-ip"'],
     ['    kubernetes.io/ingress.global-static-ip-name: "ip-2"']),
    ("c.yaml", ["set", "--doc", "2", "--yaml", "spec.replicas", "3"],
     ["  replicas: ${REPLICAS:-1}\r"], ["  replicas: 3\r"]),
    # --all-docs edits the documents that have the path, and adds it to none.
    ("c.yaml", ["set", "--all-docs", "metadata.namespace", "team-a"],
     ["  namespace: ${NAMESPACE:-default}\r"] * 2, ["  namespace: team-a\r"] * 2),
    # Only the Service has spec.ports: the other documents are left alone, not half edited.
    ("c.yaml", ["set", "--all-docs", "--create", "spec.ports[0].name", "grpc"], [], ["      name: grpc\r"]),
    # The blank line after the deleted or replaced nested collection stays. (Of the two equal
    # "branches" lines, the diff takes the first as the deleted one.)
    ("w.yml", ["delete", "on.pull_request"], ["    branches: [ $default-branch ]", "  pull_request:"], []),
    ("w.yml", ["set", "jobs.build.steps[0]", "uses: actions/checkout@v5"],
     ["    - uses: actions/checkout@v4"], ["    - uses: actions/checkout@v5"]),
    # Without --doc an edit goes to the one document that has the path (or its mapping).
    ("g.yaml", ["set", "spec.type", "NodePort"], ["  type: LoadBalancer"], ["  type: NodePort"]),
    ("g.yaml", ["set", "metadata.labels.tier", "web"], [], ["    tier: web"]),
    ("g.yaml", ["set", "spec.replicas", "2", f"{CONTAINER}.image", "gradio:2"],
     ["  replicas: 1", "        image: us-docker.pkg.dev/google-samples/containers/gke/gradio-app:v1.0.4"],
     ["  replicas: 2", "        image: gradio:2"]),
    ("g.yaml", ["set", "--doc", "kind=Service", "metadata.name", "web"], ["  name: gradio-service"], ["  name: web"]),
    ("g.yaml", ["set", "--create", "--doc", "kind=Service", "metadata.labels.app", "web"],
     [], ["  labels:", "    app: web"]),
    ("g.yaml", ["delete", f"{CONTAINER}.env[name=HOST]", f"{CONTAINER}.env[name=LLM_ENGINE]"],
     ["        - name: HOST", '          value: "http://llm-service"', "        - name: LLM_ENGINE",
      '          value: "tgi"'], []),
    # A VALUE replacing a string stays a string, in its quotes.
    ("w.yml", ["set", "jobs.build.steps[1].with.go-version", "1.21"],
     ["        go-version: '1.20'"], ["        go-version: '1.21'"]),
    ("cf.yaml", ["set", CFN_MODE, "000600"], ['              mode: "000400"'], ['              mode: "000600"']),
    ("s.yaml", ["set", "tag", "release: v3", "note", "", "n", "2"],
     ["tag: 'release: v2'", "n: 1"], ["tag: 'release: v3'", "n: 2"]),
    ("s.yaml", ["set", "--string", "name", "Nightly # 3"], ["name: 'Nightly # 2'"], ["name: 'Nightly # 3'"]),
    ("w.yml", ["set", "jobs.build.runs-on", "1.0"], ["    runs-on: ubuntu-latest"], ["    runs-on: '1.0'"]),
    ("p.yml", ["insert", "jobs.build.strategy.matrix.python-version", "-1", "3.12"],
     ['        python-version: ["3.9", "3.10", "3.11"]'],
     ['        python-version: ["3.9", "3.10", "3.11", "3.12"]']),
    # A new key that reads as a number is quoted like its neighbours, after blank lines like theirs.
    ("a.yml", ["set", "--create", 'responses."201".$ref', "created.yml"], [],
     ["  '201':", "    $ref: created.yml", ""]),
    ("a.yml", ["rename", "responses.default", "202"], ["  default:"], ["  '202':"]),
    # An empty or commented-out file gets a mapping below its comments.
    ("helm.yaml", ["set", "--create", "image.tag", "v2"], [], ["image:", "  tag: v2"]),
    ("empty.yaml", ["set", "--create", "replicaCount", "2"], [], ["replicaCount: 2"]),
    # A key merged in by <<: *anchor is set as the mapping's own, overriding the anchor's.
    ("m.yml", ["set", "services.heimdall.restart", "unless-stopped"], [], ["    restart: unless-stopped"]),
    ("g.yaml", ["move", "spec.replicas", "0"], ["  replicas: 1"], ["  replicas: 1"]),
    ("p.yml", ["set", "--comment", "pinned", "--comment-before", "why:\nthe image", "jobs.build.runs-on",
               "ubuntu-24.04"],
     ["    runs-on: ubuntu-latest"], ["    # why:", "    # the image", "    runs-on: ubuntu-24.04  # pinned"]),
    ("p.yml", ["set", "--create", "--value-file", "cert.pem", "env.CERT"], [],
     ["env:", "  CERT: |", "    -----BEGIN-----", "    QUJD", "    -----END-----", ""]),
]


class TestEdits:
    @pytest.mark.parametrize("name, args, removed, added", EDITS)
    def test_changes_only_the_edits_lines(self, work, name, args, removed, added):
        before = (work / name).read_bytes()
        printed = run(args[0], name, *args[1:], cwd=work)
        assert printed.returncode == 0, printed.stderr
        in_place = run(args[0], "-i", name, *args[1:], cwd=work)
        assert (in_place.returncode, in_place.stdout, in_place.stderr) == (0, b"", b"")
        assert (work / name).read_bytes() == printed.stdout
        assert changed_lines(before, printed.stdout) == (removed, added)

    def test_in_place_keeps_mode_and_link(self, work):
        (work / "c.yaml").chmod(0o640)
        (work / "link.yaml").symlink_to("c.yaml")
        assert run("set", "-i", "--doc", "0", "link.yaml", "kind", "Pool", cwd=work).returncode == 0
        assert (work / "link.yaml").is_symlink() and b"kind: Pool\r\n" in (work / "c.yaml").read_bytes()
        assert (work / "c.yaml").stat().st_mode & 0o777 == 0o640


GETS = [  # file (fed on stdin as "-" too), arguments, output
    ("w.yml", ["jobs.build.runs-on"], "ubuntu-latest\n"),
    ("w.yml", ["jobs.build.steps[-1].run"], "go test -v ./...\n"),
    ("w.yml", ["jobs.build.steps[1].with"], "go-version: '1.20'\n"),
    ("w.yml", ["on.push.branches"], "[ $default-branch ]\n"),
    ("k.yaml", ['metadata.annotations."kubernetes.io/ingress.global-static-ip-name"'], "web-static-ip\n"),
    ("c.yaml", ["kind"], "InferencePool\nService\nDeployment\nClusterRole\nClusterRoleBinding\n"),
    ("c.yaml", ["--doc", "-4", "spec.ports[0].port"], "${EXTENSION_GRPC_PORT:-9002}\n"),
    ("c.yaml", ["spec.replicas"], "${REPLICAS:-1}\n"),
    ("keep.yaml", ["a"], "b: |+\n  x\n\n\n"),  # the blank lines at its end are b's
    (CONFIG, ["service.port"], "0x1F90\n"),
]


class TestGet:
    @pytest.mark.parametrize("name, args, output", GETS)
    def test_prints_the_value(self, work, name, args, output):
        for file, stdin in ((str(name), b""), ("-", (work / name).read_bytes())):
            result = run("get", file, *args, cwd=work, stdin=stdin)
            assert (result.returncode, result.stdout.decode(), result.stderr) == (0, output, b"")


READS = [  # arguments, output (exit code 0)
    (["get", "g.yaml", "spec.type"], "LoadBalancer\n"),
    (["get", "g.yaml", f"{CONTAINER}.resources.limits.cpu"], "1\n"),
    (["get", "-o", "json", "--doc", "kind=Service", "g.yaml", "spec.ports"],
     '[\n  {\n    "port": 80,\n    "targetPort": 7860\n  }\n]\n'),
    (["get", "-o", "yaml", "p.yml", "jobs.build.strategy.matrix.python-version[1]"], '"3.10"\n'),
    (["get", "-o", "json", "p.yml", "jobs.build.strategy.matrix.python-version[1]"], '"3.10"\n'),
    (["get", "g.yaml", ".kind"], "Deployment\nService\n"),
    (["get", "w.yml", "p.yml", "jobs.build.runs-on"], "w.yml: ubuntu-latest\np.yml: ubuntu-latest\n"),
    (["get", "-o", "json", "w.yml", "p.yml", "name"],
     '{"file": "w.yml", "value": "Go"}\n{"file": "p.yml", "value": "Python package"}\n'),
    (["get", "-e", "w.yml", "p.yml", "on.push"], ""),
    # Keys merged in by <<: *anchor are read where the << stands.
    (["get", "m.yml", "services.heimdall.environment.TZ"], "$TZ\n"),
    (["get", "m.yml", "services.heimdall.restart"], "always\n"),
    (["keys", "m.yml", "services.nzbget"],
     "security_opt\nrestart\nimage\ncontainer_name\nnetworks\nports\nvolumes\nenvironment\n"),
    (["get", "-o", "json", "m.yml", "services.heimdall.environment"],
     '{\n  "TZ": "$TZ",\n  "PUID": "$PUID",\n  "PGID": "$PGID"\n}\n'),
    (["keys", "--doc", "1", "g.yaml", "."], "apiVersion\nkind\nmetadata\nspec\n"),
    (["keys", "-o", "json", "w.yml", "on.push.branches"], "[\n  0\n]\n"),
    (["length", "p.yml", "jobs.build.strategy.matrix.python-version"], "3\n"),
    (["length", "--doc", "0", "g.yaml", f"{CONTAINER}.env"], "6\n"),
    (["set", "--diff", "g.yaml", "spec.type", "NodePort"],
     "--- g.yaml\n+++ g.yaml\n@@ -62,7 +62,7 @@\n metadata:\n   name: gradio-service\n spec:\n"
     "-  type: LoadBalancer\n+  type: NodePort\n   selector:\n     app: gradio\n   ports:\n"),
    (["delete", "--diff", "w.yml", "jobs.build.steps[-1]"],
     "--- w.yml\n+++ w.yml\n@@ -23,6 +23,3 @@\n \n     - name: Build\n       run: go build -v ./...\n"
     "-\n-    - name: Test\n-      run: go test -v ./...\n"),
    (["set", "--diff", "nonl.yaml", "b", "3"],
     "--- nonl.yaml\n+++ nonl.yaml\n@@ -1,2 +1,2 @@\n a: 1\n-b: 2\n\\ No newline at end of file\n"
     "+b: 3\n\\ No newline at end of file\n"),
]


class TestRead:
    @pytest.mark.parametrize("args, output", READS)
    def test_prints(self, work, args, output):
        before = snapshot(work)
        result = run(*args, cwd=work)
        assert (result.returncode, result.stdout.decode(), result.stderr) == (0, output, b"")
        assert snapshot(work) == before

    def test_exists_is_quiet(self, work):
        result = run("get", "-e", "w.yml", "p.yml", "jobs.build.strategy", cwd=work)
        assert (result.returncode, result.stdout, result.stderr) == (1, b"", b"")


class TestHelp:
    @pytest.mark.parametrize("command", ["get", "keys", "length", "set", "delete", "insert", "rename", "move",
                                         "check"])
    def test_shows_examples(self, command, tmp_path):
        result = run(command, "--help", cwd=tmp_path)
        examples = result.stdout.decode().split("examples:\n")[1].splitlines()
        assert result.returncode == 0 and 2 <= len(examples) <= 4
        assert all(line.startswith(f"  tesvorn {command} ") for line in examples)

    def test_version(self, tmp_path):
        result = run("--version", cwd=tmp_path)
        assert result.stdout.decode() == f"tesvorn {importlib.metadata.version('tesvorn')}\n"


class TestCheck:
    def test_the_corpus_passes(self, corpus):
        result = run("check", *map(str, corpus_files(corpus)), cwd=corpus)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")

    @pytest.mark.parametrize("name, error", [
        ("bad.yaml", "bad.yaml:2:1: while parsing a flow sequence, expected ',' or ']' "
                     "(the flow sequence started at line 1, column 4)"),
        ("dup.yaml", "dup.yaml:3: duplicate key a (first on line 1)"),
        ("nested-dup.yaml", "nested-dup.yaml:4: duplicate key [0].env.A (first on line 3)"),
        ("latin.yaml", "latin.yaml: not UTF-8 (byte 3)"),
        ("gone.yaml", "gone.yaml: No such file or directory"),
    ])
    def test_a_failing_file_is_one_line(self, work, name, error):
        result = run("check", "w.yml", name, "c.yaml", cwd=work)
        assert (result.returncode, result.stdout, result.stderr.decode()) == (1, b"", error + "\n")

    def test_no_file_passes(self, tmp_path):  # $(git ls-files '*.yaml') in an empty repository
        assert run("check", cwd=tmp_path).returncode == 0


ERRORS = [  # arguments, exit code, start of the message
    (["get", "w.yml", "a..b"], 2, "tesvorn: bad PATH 'a..b': a key is missing at character 3"),
    (["set", "w.yml", "jobs.deploy.runs-on", "x"], 1, "tesvorn: jobs has no key deploy"),
    (["set", "--create", "w.yml", "jobs.build.steps[0].uses.x", "1"], 1,
     "tesvorn: jobs.build.steps[0].uses is a scalar"),
    (["set", "w.yml", "jobs.build.steps[9]", "x"], 1, "tesvorn: jobs.build.steps has no item [9] (4 items)"),
    (["set", "w.yml", "name", "[a"], 1, "tesvorn: VALUE:2:1: "),
    (["set", "--doc", "1", "w.yml", "name", "x"], 1, "tesvorn: no document 1 (the file has 1)"),
    (["set", "-", "name", "x"], 2, "tesvorn: --in-place needs a file"),
    (["insert", "w.yml", "on.push.branches", "2", "x"], 1,
     "tesvorn: on.push.branches has 1 items: INDEX must be in -2..1"),
    (["insert", "w.yml", "on.push.branches", "x", "x"], 2, "tesvorn insert: argument INDEX: invalid int value"),
    (["delete", "w.yml", "name[0]"], 1, "tesvorn: name is a scalar, not a sequence"),
    (["set", "bad.yaml", "a", "1"], 1, "tesvorn: bad.yaml:2:1: while parsing a flow sequence"),
    (["set", "dup.yaml", "b", "1"], 1, "tesvorn: dup.yaml:3: duplicate key a (first on line 1); not edited"),
    # Several documents, and none or several have the path: nothing is guessed.
    (["set", "g.yaml", "metadata.name", "x"], 1, "tesvorn: documents 0 and 1 have metadata.name: choose one "
     "with --doc N or --doc KEY=VALUE (such as --doc kind=Service), or edit each with --all-docs"),
    (["set", "g.yaml", "spec.nodeName", "x"], 1, "tesvorn: documents 0 and 1 have the place for spec.nodeName"),
    (["delete", "g.yaml", "spec.ports[0].name"], 1, "tesvorn: no document has spec.ports[0].name: choose one "
     "with --doc"),
    (["set", "--doc", "kind=Job", "g.yaml", "spec.x", "1"], 1, "tesvorn: no document has kind=Job"),
    (["set", "--all-docs", "g.yaml", "spec.nodeName", "x"], 1, "tesvorn: no document has spec.nodeName"),
    (["set", "s.yaml", "name", "Nightly # 3"], 1, "tesvorn: VALUE 'Nightly # 3' holds a comment (# 3), which "
     "YAML drops: use --string"),
    (["set", "helm.yaml", "image.tag", "v2"], 1, "tesvorn: the document is empty: set --create adds a mapping"),
    (["delete", "m.yml", "services.heimdall.restart"], 1, "tesvorn: services.heimdall.restart comes from the merge "
     "key <<: *common-keys-core: edit the anchor's mapping, x-common-keys-core.restart, which every mapping"),
    (["set", "m.yml", "services.heimdall.networks[0]", "x"], 1, "tesvorn: services.heimdall.networks comes from"),
    (["get", "--doc", "0", "g.yaml", "spec.replica"], 1, "tesvorn: spec has no key replica (did you mean replicas?)"),
    (["get", "g.yaml", "spec.template.spec.containers[name=gradi].image"], 1,
     "tesvorn: document 0: spec.template.spec.containers has no item [name=gradi] (did you mean gradio?)"),
    (["get", "p.yml", "jobs.build.steps[uses=actions/checkout@v4].name"], 1,
     "tesvorn: jobs.build.steps[uses=actions/checkout@v4] has no key name"),
    (["rename", "a.yml", "responses.default", "401"], 1, "tesvorn: responses has a key 401 already"),
    (["set", "w.yml", ".", "x"], 1, "tesvorn: set needs a key or an item: PATH . is the document itself"),
    (["set", "--all-docs", "--doc", "0", "w.yml", "name", "x"], 2, "tesvorn set: argument --all-docs: not allowed"),
    (["set", "w.yml", "name"], 2, "tesvorn: set takes PATH VALUE, or several PATH VALUE pairs"),
    (["get", "w.yml"], 2, "tesvorn: get needs FILE and PATH"),
    (["frob", "w.yml"], 2, "tesvorn: argument COMMAND: invalid choice"),
]


class TestErrors:
    @pytest.mark.parametrize("args, code, message", ERRORS)
    def test_nothing_is_written(self, work, args, code, message):
        before = snapshot(work)
        edit = args[0] in ("set", "delete", "insert", "rename", "move")
        result = run(*args[:1], *(["-i"] if edit else []), *args[1:], cwd=work)
        assert (result.returncode, result.stdout) == (code, b"")
        assert result.stderr.decode().startswith(message) and result.stderr.count(b"\n") == 1, result.stderr
        assert snapshot(work) == before

    def _no_big_files(self):
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))

    def test_a_failed_write_changes_nothing(self, work):
        before = snapshot(work)
        in_place = run("set", "-i", "--doc", "0", "c.yaml", "kind", "Pool", cwd=work, preexec_fn=self._no_big_files)
        with open("/dev/full", "wb") as full:
            printed = run("set", "--doc", "0", "c.yaml", "kind", "Pool", cwd=work, stdout=full)
        assert in_place.stderr.decode() == "tesvorn: c.yaml: cannot write: File too large\n"
        assert printed.stderr.decode() == "tesvorn: cannot write to standard output: No space left on device\n"
        assert (in_place.returncode, printed.returncode) == (1, 1)
        assert snapshot(work) == before

    def test_a_read_only_file_is_refused(self, work):
        (work / "w.yml").chmod(0o444)
        before = snapshot(work)
        result = run("set", "-i", "w.yml", "name", "x", cwd=work)
        assert (result.returncode, result.stderr) == (1, b"tesvorn: w.yml: the file is read-only; not written\n")
        assert snapshot(work) == before


def readme_examples() -> list[tuple[str, str]]:
    """(command, what it prints) for each `$` line of the README's command-line console block."""
    readme = (CONFIG.parents[1] / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Command line", 1)[1]
    block = section.split("```console\n", 1)[1].split("```", 1)[0]
    examples: list[tuple[str, str]] = []
    for line in block.splitlines(keepends=True):
        if line.startswith("$ "):
            examples.append((line[2:].rstrip("\n"), ""))
        else:
            examples[-1] = (examples[-1][0], examples[-1][1] + line)
    return examples


class TestReadme:
    def test_every_example_prints_what_it_shows(self, tmp_path):
        for example in [CONFIG, *sorted((CONFIG.parent / "cli").iterdir())]:
            shutil.copyfile(example, tmp_path / example.name)
        subprocess.run(["git", "init", "-q"], cwd=tmp_path, check=True)
        subprocess.run(["git", "add", "."], cwd=tmp_path, check=True)
        env = {"PATH": f"{COMMAND.parent}:/usr/bin:/bin", "LC_ALL": "C.UTF-8"}
        examples = readme_examples()
        assert len(examples) > 20
        for command, shown in examples:
            result = subprocess.run(["bash", "-c", command], cwd=tmp_path, env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            assert result.stdout.decode() == shown, command
            assert (result.returncode != 0) == shown.startswith("tesvorn: "), command
