from pathlib import Path

import pytest

from corvane import settings


def write_pyproject(folder: Path, table: str) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "pyproject.toml").write_text('[project]\nname = "demo"\n\n' + table)


def test_builtin_defaults_without_pyproject(tmp_path):
    settings.reset()
    assert settings.get_pics_dir() == (tmp_path / "pics").resolve()
    assert settings.get_pdk_name() == "velloc.generic"
    assert settings.is_a_pdk() is False
    assert settings.ignored_paths() == frozenset()


def test_nearest_pyproject_is_read_from_a_subfolder(tmp_path, monkeypatch):
    root = tmp_path / "proj"
    write_pyproject(
        root,
        "[tool.corvane]\n"
        'pics_dir = "src/lib/pics"\n'
        'pdk_name = "mypdk"\n'
        "is_pdk = true\n"
        'ignored_paths = ["src/lib/old.py", "scratch"]\n',
    )
    (root / "scratch" / "deep").mkdir(parents=True)
    (root / "scratch" / "deep" / "trial.py").write_text("")
    work = root / "src" / "lib"
    work.mkdir(parents=True)
    monkeypatch.chdir(work)
    settings.reset()

    assert settings.get_pics_dir() == (root / "src/lib/pics").resolve()
    assert settings.get_pdk_name() == "mypdk"
    assert settings.is_a_pdk() is True
    ignored = settings.ignored_paths()
    assert (root / "src/lib/old.py").resolve() in ignored
    assert (root / "scratch/deep/trial.py").resolve() in ignored  # a folder covers its files
    assert (root / "src/lib/new.py").resolve() not in ignored


def test_pyproject_without_table_uses_builtins_relative_to_project(tmp_path, monkeypatch):
    write_pyproject(tmp_path / "proj", "")
    (tmp_path / "proj" / "sub").mkdir()
    monkeypatch.chdir(tmp_path / "proj" / "sub")
    settings.reset()
    assert settings.get_pics_dir() == (tmp_path / "proj" / "pics").resolve()
    assert settings.get_pdk_name() == "velloc.generic"


def test_configure_overrides_only_what_is_given_until_reset(tmp_path):
    write_pyproject(tmp_path, '[tool.corvane]\npdk_name = "frompyproject"\n')
    settings.reset()
    settings.configure(pics_dir="lib", is_pdk=True, ignored_paths=[tmp_path / "a.py"])
    assert settings.get_pics_dir() == (tmp_path / "lib").resolve()
    assert settings.is_a_pdk() is True
    assert settings.get_pdk_name() == "frompyproject"
    assert (tmp_path / "a.py").resolve() in settings.ignored_paths()

    settings.configure(pdk_name="other")
    assert settings.get_pdk_name() == "other"
    assert settings.is_a_pdk() is True  # earlier overrides stay

    settings.reset()
    assert settings.get_pdk_name() == "frompyproject"
    assert settings.is_a_pdk() is False


@pytest.mark.parametrize(
    "kwargs",
    [{"pdk_name": 3}, {"is_pdk": "yes"}, {"pics_dir": None}, {"ignored_paths": "one/path.py"}],
)
def test_configure_rejects_wrong_types(kwargs):
    with pytest.raises(TypeError):
        settings.configure(**kwargs)


def test_wrong_type_in_pyproject_is_reported(tmp_path):
    write_pyproject(tmp_path, '[tool.corvane]\nis_pdk = "true"\n')
    settings.reset()
    with pytest.raises(TypeError, match="is_pdk"):
        settings.is_a_pdk()
