"""The option-type text is matched on ASCII bytes, without a lower-cased copy.

The module accepts `option_type` exactly when the text lower-cased with the
full Unicode mapping (`str.lower`) is "call", "c", "put" or "p".  It gets
there without lower-casing: it folds the ASCII capitals A-Z and compares
bytes, so a text with any non-ASCII character never matches.  That is only
the same rule if no non-ASCII character lower-cases to text made of the ASCII
letters of "call" and "put"; the first test checks this over every code point
instead of trusting it, the others check the module against the rule itself.
"""

import itertools
import random
import sys

import pytest

import greekmill_python as gm

ACCEPTED = {"call": "call", "c": "call", "put": "put", "p": "put"}
LETTERS_OF_CALL_AND_PUT = frozenset("calput")
MESSAGE = "Invalid option type. Use 'call' or 'put'."
ARGS = (100.0, 95.0, 0.5, 0.05, 0.2, 0.01)


def test_no_non_ascii_character_lower_cases_to_letters_of_call_or_put():
    offenders = [
        f"U+{cp:04X} -> {chr(cp).lower()!r}"
        for cp in range(0x80, sys.maxunicode + 1)
        if set(chr(cp).lower()) <= LETTERS_OF_CALL_AND_PUT
    ]
    assert offenders == []


def test_the_scan_sees_non_ascii_characters_that_lower_case_to_ascii():
    # Such characters exist, so the scan above is not vacuous: KELVIN SIGN
    # lower-cases to the ASCII "k", and I WITH DOT ABOVE to "i" + U+0307.
    assert "\u212a".lower() == "k"
    assert "\u0130".lower() == "i\u0307"


def expected(text: str) -> str | None:
    """The rule: 'call', 'put', or None for a rejected text."""
    return ACCEPTED.get(str.lower(text))


def reference(kind: str) -> float:
    return gm.bs_delta(*ARGS, option_type=kind)


def check(text: str) -> None:
    kind = expected(text)
    if kind is not None:
        assert gm.bs_delta(*ARGS, option_type=text) == reference(kind), repr(text)
        return
    with pytest.raises(ValueError) as raised:
        gm.bs_delta(*ARGS, option_type=text)
    if type(raised.value) is ValueError:
        assert str(raised.value) == MESSAGE, repr(text)
    else:  # a text that cannot be encoded as UTF-8 fails in its conversion
        assert isinstance(raised.value, UnicodeEncodeError), repr(text)


LOOKALIKES = [
    pytest.param("call", id="call"),
    pytest.param("CALL", id="CALL"),
    pytest.param("cAlL", id="mixed-call"),
    pytest.param("C", id="C"),
    pytest.param("Put", id="Put"),
    pytest.param("pUT", id="mixed-put"),
    pytest.param("P", id="P"),
    pytest.param("", id="empty"),
    pytest.param(" call", id="leading-blank"),
    pytest.param("call ", id="trailing-blank"),
    pytest.param("calls", id="calls"),
    pytest.param("cal", id="cal"),
    pytest.param("call\x00", id="call-nul"),
    pytest.param("\u212aall", id="kelvin-sign-kall"),
    pytest.param("\u0130", id="capital-i-with-dot"),
    pytest.param("\u0131", id="dotless-i"),
    pytest.param("\u017f", id="long-s"),
    pytest.param("\u216d", id="roman-numeral-one-hundred"),
    pytest.param("\u217dall", id="small-roman-numeral-one-hundred-all"),
    pytest.param("\uff43\uff41\uff4c\uff4c", id="fullwidth-call"),
    pytest.param("\uff30\uff35\uff34", id="fullwidth-PUT"),
    pytest.param("c\u0430ll", id="cyrillic-a"),
    pytest.param("\u0440ut", id="cyrillic-er"),
    pytest.param("c\u0301", id="c-combining-acute"),
    pytest.param("p\u200b", id="p-zero-width-space"),
    pytest.param("\u1d04", id="small-capital-c"),
    pytest.param("\ud800", id="lone-surrogate"),
    pytest.param("\U0001d41c", id="mathematical-bold-c"),
]


@pytest.mark.parametrize("text", LOOKALIKES)
def test_accepted_exactly_when_the_lower_case_text_is_call_c_put_or_p(text):
    check(text)


def test_every_short_text_over_letters_and_their_lookalikes_follows_the_rule():
    alphabet = "cCaAlLpPuUtT \u212a\u0130\u0131\u017f\u216d\u217d\u0430"
    checked = 0
    for length in range(5):
        for letters in itertools.product(alphabet, repeat=length):
            check("".join(letters))
            checked += 1
    assert checked == sum(len(alphabet) ** n for n in range(5))


def test_random_texts_follow_the_rule():
    rng = random.Random(4)
    pool = "cCaAlLpPuUtT" + "\u212a\u0130\u0131\u017f\u00df\u03a3\u1e9e\uff43\uff30"
    for _ in range(5000):
        length = rng.randrange(6)
        text = "".join(
            rng.choice(pool) if rng.random() < 0.8 else chr(rng.randrange(0x80, 0x30000))
            for _ in range(length)
        )
        if not all(0xD800 > ord(c) or ord(c) > 0xDFFF for c in text):
            continue  # lone surrogates are covered by the table above
        check(text)


def test_a_str_subclass_is_matched_on_its_characters_not_its_lower_method():
    class Shouting(str):
        def lower(self):
            return "put"

    assert gm.bs_delta(*ARGS, option_type=Shouting("CALL")) == reference("call")
    with pytest.raises(ValueError, match="Invalid option type"):
        gm.bs_delta(*ARGS, option_type=Shouting("short"))
