// Folder combos and histories arrive here.
