// Replaced by the writer and reader sources.
