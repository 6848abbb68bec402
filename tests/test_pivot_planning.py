import numpy as np
import pandas as pd
import pytest


@pytest.fixture
def filled(store, capsys):
    days = pd.date_range("2024-02-01", "2024-03-31")
    store.update_pivot_category(pd.DataFrame(np.ones((1, len(days))), index=["a"], columns=days), "daily")
    capsys.readouterr()
    return store


@pytest.mark.parametrize("unit", ["s", "ns"])
@pytest.mark.parametrize(
    "first, extra, last, missing",
    [
        ("2024-02-01", [], "2024-03-29", []),
        # the first wanted day's month is read even when the day is not the month's first
        ("2024-02-05", [], "2024-03-29", []),
        ("2024-02-01", ["2024-04-01", "2024-04-01"], "2024-03-31", ["2024-04-01"]),
    ],
)
def test_download_days(filled, capsys, unit, first, extra, last, missing):
    wanted = list(pd.date_range(first, "2024-03-29", unit=unit)) + [pd.Timestamp(day).as_unit(unit) for day in extra]
    exists_df, update_dates = filled.get_download_days(category="daily", template_date=wanted[::-1])
    assert exists_df.columns[0] == first and exists_df.columns[-1] == last
    assert update_dates == [pd.Timestamp(day) for day in missing]
    assert capsys.readouterr().out == ("数据不存在 daily: ['2024-04'] 数据不存在\n" if missing else "")


def test_never_written_category_wants_every_day_once(store, capsys):
    wanted = [pd.Timestamp("2024-03-29"), pd.Timestamp("2024-02-01"), pd.Timestamp("2024-03-29")]
    exists_df, update_dates = store.get_download_days("daily", wanted)
    assert exists_df.empty
    assert update_dates == [pd.Timestamp("2024-02-01"), pd.Timestamp("2024-03-29")]
    assert capsys.readouterr().out == "数据不存在 daily: ['2024-02', '2024-03'] 数据不存在\n"


@pytest.mark.parametrize(
    "form",
    [str, lambda day: pd.Timestamp(day).to_pydatetime(), pd.Timestamp, lambda day: np.datetime64(day, "D")],
    ids=["text", "datetime", "Timestamp", "datetime64"],
)
def test_wanted_days_compare_as_days_in_any_form(filled, form):
    wanted = [form(day) for day in ["2024-03-01", "2024-03-29", "2024-04-01"]]
    exists_df, update_dates = filled.get_download_days("daily", wanted)
    assert (exists_df.columns[0], exists_df.columns[-1]) == ("2024-03-01", "2024-03-31")
    assert update_dates == [wanted[-1]]
