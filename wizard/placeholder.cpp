// The Sync Wizard arrives here.
