"""silver_kestrel: model components for a causal language model built from
recurrent state-space blocks guarded by a fortress memory of protected subspaces."""
