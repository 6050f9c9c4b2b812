"""The committed type stubs against the built module: names, class members, parameters.

A cheap guard for every test run; dev/check_stubs.sh compares the full generated text.
"""

from __future__ import annotations

import ast

import pytest
from command_support import ROOT

import kelmora_cpp as k

STUBS = ROOT / "stubs" / "kelmora_cpp-stubs" / "__init__.pyi"
TREE = ast.parse(STUBS.read_text(), filename=str(STUBS))


def public(names) -> set[str]:
    return {n for n in names if not n.startswith("_")}


def stub_definitions(body: list[ast.stmt]) -> dict[str, ast.stmt]:
    out: dict[str, ast.stmt] = {}
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            out[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            out[node.target.id] = node
    return out


TOP = stub_definitions(TREE.body)
CLASSES = {name: node for name, node in TOP.items() if isinstance(node, ast.ClassDef)}
FUNCTIONS = sorted(name for name, node in TOP.items() if isinstance(node, ast.FunctionDef))
METHODS = sorted(
    (cls, name)
    for cls, node in CLASSES.items()
    for name, member in stub_definitions(node.body).items()
    if isinstance(member, ast.FunctionDef) and not member.decorator_list
)


def split_top_level(text: str) -> list[str]:
    """Split at commas outside brackets: 'a: tuple[int, int], b: int' -> two parts."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def runtime_parameters(func) -> list[tuple[str, bool]]:
    """(name, has default) of each parameter from the generated signature line, self dropped."""
    line = func.__doc__.lstrip().partition("\n")[0]
    inside = line[line.index("(") + 1 : line.rindex(") -> ")]
    params = []
    for part in split_top_level(inside):
        name = part.partition(":")[0].strip()
        if name != "self":
            params.append((name, " = " in part))
    return params


def stub_parameters(node: ast.FunctionDef) -> list[tuple[str, bool]]:
    args = node.args.args
    defaults = [False] * (len(args) - len(node.args.defaults)) + [True] * len(node.args.defaults)
    return [(a.arg, d) for a, d in zip(args, defaults) if a.arg != "self"]


def test_top_level_names_equal_module_names():
    assert public(TOP) == public(dir(k))
    assert len(public(TOP)) == 23


def test_all_lists_every_public_name():
    (node,) = [n for n in TREE.body if isinstance(n, ast.AnnAssign) and getattr(n.target, "id", "") == "__all__"]
    assert sorted(ast.literal_eval(node.value)) == sorted(public(dir(k)))


def test_version_matches():
    node = TOP["__version__"]
    assert ast.literal_eval(node.value) == k.__version__


def test_classes_are_the_module_types():
    assert set(CLASSES) == {name for name in public(dir(k)) if isinstance(getattr(k, name), type)}


@pytest.mark.parametrize("cls", sorted(CLASSES))
def test_class_members(cls):
    members = stub_definitions(CLASSES[cls].body)
    runtime = vars(getattr(k, cls))
    assert public(members) == public(runtime)
    stub_properties = {n for n, m in members.items() if isinstance(m, ast.FunctionDef) and m.decorator_list}
    assert public(stub_properties) == {n for n in public(runtime) if isinstance(runtime[n], property)}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_parameters(name):
    assert stub_parameters(TOP[name]) == runtime_parameters(getattr(k, name))


@pytest.mark.parametrize("cls, name", METHODS)
def test_method_parameters(cls, name):
    node = stub_definitions(CLASSES[cls].body)[name]
    assert stub_parameters(node) == runtime_parameters(getattr(getattr(k, cls), name))


@pytest.mark.parametrize(
    "func, result",
    [
        (k.linear_assignment, "tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]"),
        (k.linear_assignment_lapjv, "tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]"),
        (
            k.associate,
            "tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], "
            "numpy.typing.NDArray[numpy.int64]]",
        ),
        (k.build_info, "dict[str, str | int | bool]"),
    ],
)
def test_result_annotations_name_element_types(func, result):
    assert func.__doc__.lstrip().partition("\n")[0].endswith(") -> " + result)


def test_default_config_is_shown_as_a_constructor_call():
    # An object's address in the signature would make the generated stubs unusable.
    line = k.ByteTracker.__init__.__doc__.lstrip().partition("\n")[0]
    assert "config: kelmora_cpp.TrackerConfig = TrackerConfig()" in line
    assert " at 0x" not in line


@pytest.mark.parametrize(
    "text, parts",
    [
        ("a: int, b: tuple[int, int] = (1, 2)", ["a: int", "b: tuple[int, int] = (1, 2)"]),
        ("", []),
        (
            "x: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]",
            ["x: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]"],
        ),
    ],
)
def test_split_top_level(text, parts):
    assert split_top_level(text) == parts
