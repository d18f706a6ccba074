"""Native building blocks for binary parsers and builders.

Modules: ``qelo.expr`` (lazy expressions), ``qelo.lib.binary`` (integers, bytes and bit strings),
``qelo.lib.hex`` (hex dumps and hex display types), ``qelo.lib.bitstream`` (stream adapters).
"""

__version__ = "0.1.0"
