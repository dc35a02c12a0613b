"""orvo-modelgen: a model description to the C++ of a model library."""
