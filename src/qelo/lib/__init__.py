"""Conversion, hex dump and stream helpers of qelo."""
