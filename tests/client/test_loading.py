import pickle

import pandas as pd
import pytest


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_round_trip_of_a_stored_frame(server, make_client, month_frame, protocol):
    frame = month_frame(2024, 3)
    server.seed({"cv1-daily-202403": pickle.dumps(frame, protocol=protocol)})
    loaded = make_client().load_df_from_cvdb("cv1-daily-202403")
    pd.testing.assert_frame_equal(loaded, frame)


def test_missing_key_raises_type_error_silently(server, make_client, capsys):
    client = make_client()
    with pytest.raises(TypeError):
        client.load_df_from_cvdb("cv1-nothing")
    assert capsys.readouterr().out == ""


def test_key_is_used_verbatim(server, make_client, instruments_frame):
    server.seed({"cv1-instruments": instruments_frame()})
    client = make_client()
    with pytest.raises(TypeError):
        client.load_df_from_cvdb("cv1-instruments  ")

