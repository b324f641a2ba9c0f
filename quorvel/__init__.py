"""quorvel: native neighbor lists and structure-file text blocks."""
