"""Translators from other modelling tools' files into orvo model descriptions."""
