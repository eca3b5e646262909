/* The message file holds resources only; Event Viewer loads it as data. */
int vornelAgentServiceMessageFile = 1;
