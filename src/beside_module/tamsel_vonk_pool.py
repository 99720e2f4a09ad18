"""Running tamsel_vonk in worker pools: multiprocessing, concurrent.futures, Dask.

An internal fault of one call (an integer remainder by zero, for example)
raises tamsel_vonk.PanicException, which derives from BaseException so that
an ordinary `except Exception` does not hide it. Pools pass only Exception
on to the caller: a BaseException raised in a task ends the worker process,
and the caller then waits for a result that never comes
(multiprocessing.Pool) or gets an unrelated error. Wrap the function that a
pool runs with `catch_panics`, and a fault reaches the caller as
InternalFault, an ordinary exception, for the task that met it:

    @tamsel_vonk_pool.catch_panics
    def run_one(json_text):
        return list(program.input(json_text))
"""

import functools
from typing import Any, Callable, TypeVar

import tamsel_vonk

Result = TypeVar("Result")

__all__ = ["InternalFault", "catch_panics"]


class InternalFault(RuntimeError):
    """A tamsel_vonk.PanicException, raised again as an ordinary exception.

    Its message is the fault's text. It pickles, so it crosses process
    boundaries as pools send exceptions back.
    """


def catch_panics(function: Callable[..., Result]) -> Callable[..., Result]:
    """Returns FUNCTION, but raising InternalFault where it raised PanicException.

    Use it as a decorator on a module-level function: the result keeps the
    function's name and module, so pools still pickle it by reference.
    """

    @functools.wraps(function)
    def wrapper(*args: Any, **kwargs: Any) -> Result:
        try:
            return function(*args, **kwargs)
        except tamsel_vonk.PanicException as fault:
            raise InternalFault(str(fault)) from fault

    return wrapper
