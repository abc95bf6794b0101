// Keeps the package tools library non-empty before it has sources of its own.
