"""String helpers of the product's utility package: a small stand-in.

Only `typecast_str` is provided, the function that orvane.tessel.configuration
passes every assigned value through.
"""
import re

_INTEGER = re.compile(r'[+-]?[0-9]+\Z', re.ASCII)
_DECIMAL = re.compile(r'[+-]?(?:[0-9]+\.[0-9]*|\.[0-9]+|[0-9]+)(?:[eE][+-]?[0-9]+)?\Z', re.ASCII)
_WORDS = {'true': True, 'false': False, 'none': None, 'null': None}


def typecast_str(value):
    """Turns a string that spells a simple value into that value.

    Strings that spell an integer, a decimal number, true or false, none or
    null (letters in any case, surrounding white space ignored) become int,
    float, bool or None; any other string is returned as it is.  A value that
    is not a string is returned unchanged: the very same object.
    """
    if not isinstance(value, str):
        return value
    text = value.strip()
    word = text.lower()
    if word in _WORDS:
        return _WORDS[word]
    if _INTEGER.match(text):
        return int(text)
    if _DECIMAL.match(text):
        return float(text)
    return value
