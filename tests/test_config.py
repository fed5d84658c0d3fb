import math
import pickle

import pytest

from quorvel.config import SolverConfig


@pytest.mark.parametrize(
    "kwargs, steps, timeout",
    [
        ({}, 1000, 10.0),
        ({"prover_max_steps": 5, "prover_timeout_sec": 2}, 5, 2.0),
        ({"prover_max_steps": 0, "prover_timeout_sec": 0.05}, 1, 0.1),
        ({"prover_max_steps": -3, "prover_timeout_sec": math.nan}, 1, 0.1),
    ],
)
def test_limits_are_normalised(kwargs, steps, timeout):
    config = SolverConfig(**kwargs)
    assert (config.prover_max_steps, config.prover_timeout_sec) == (steps, timeout)


def test_config_is_a_frozen_value():
    config = SolverConfig(prover_max_steps=7)
    assert config == SolverConfig(7, 10.0) and hash(config) == hash(SolverConfig(7))
    assert repr(config) == "SolverConfig(prover_max_steps=7, prover_timeout_sec=10.0)"
    assert pickle.loads(pickle.dumps(config)) == config
    with pytest.raises(AttributeError):
        config.prover_max_steps = 1
    with pytest.raises(TypeError, match="prover_max_steps must be int"):
        SolverConfig(prover_max_steps="many")


def test_a_subclass_may_take_arguments_of_its_own():
    class Named(SolverConfig):
        def __init__(self, name, steps):
            super().__init__(steps)
            self.name = name

    config = Named("quick", 0)
    assert (config.name, config.prover_max_steps, config.prover_timeout_sec) == ("quick", 1, 10.0)
    assert hash(config) == hash(SolverConfig(1))
    with pytest.raises(AttributeError):
        config.prover_max_steps = 5
    with pytest.raises(TypeError, match="prover_max_steps must be int"):
        Named("bad", "many")
