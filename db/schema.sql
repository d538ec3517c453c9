/* The call database: one row of Rings per stored call, one row of Users per extension owner.
   Run through isql-fb after CREATE DATABASE (scripts/create-db.sh). */

/* NumberOut keeps the dialled digits as sent (leading zeros included); a comparison with the
   number 0 converts the text to a 64-bit integer, so "0" is an incoming call and any dialled
   number is greater. */
CREATE TABLE Rings (
  RDay       INTEGER DEFAULT 0 NOT NULL,
  RMont      INTEGER DEFAULT 0 NOT NULL,
  RYear      INTEGER DEFAULT 0 NOT NULL,
  RHour      INTEGER DEFAULT 0 NOT NULL,
  RMin       INTEGER DEFAULT 0 NOT NULL,
  RSec       INTEGER DEFAULT 0 NOT NULL,
  RLine      INTEGER DEFAULT 0 NOT NULL,
  TimeHour   INTEGER DEFAULT 0 NOT NULL,
  TimeMin    INTEGER DEFAULT 0 NOT NULL,
  TimeSec    INTEGER DEFAULT 0 NOT NULL,
  NumberIn   INTEGER DEFAULT 0 NOT NULL,
  NumberOut  VARCHAR(40) DEFAULT '0' NOT NULL,
  RingDate   TIMESTAMP NOT NULL,
  ringlength COMPUTED BY (TimeHour * 3600 + TimeMin * 60 + TimeSec),
  /* The calling number, where the exchange prints one. */
  Caller      VARCHAR(40),
  /* Where the row came from: the station (its journal/station.id) and the start of its line in
     that station's journal. Empty for rows stored before the columns existed. */
  Station     VARCHAR(40),
  JournalFile VARCHAR(14),
  JournalPos  BIGINT
);

/* The daily totals look up one owner's calls of one day. */
CREATE INDEX Rings_NumberIn_RingDate ON Rings (NumberIn, RingDate);
/* Reports by day over all owners. */
CREATE INDEX Rings_RingDate ON Rings (RingDate);
/* A journal line's rows, found again to be replaced when the line is stored again. */
CREATE INDEX Rings_Source ON Rings (Station, JournalFile, JournalPos);

CREATE TABLE Users (
  NumberIN  INTEGER NOT NULL,
  FIO       VARCHAR(100) DEFAULT '' NOT NULL,
  EMail     VARCHAR(250) DEFAULT '' NOT NULL,
  SendMail  INTEGER DEFAULT 0 NOT NULL,
  CONSTRAINT Users_PK PRIMARY KEY (NumberIN)
);

/* The owners who receive the daily mail. */
CREATE INDEX Users_SendMail ON Users (SendMail);

/* How far each station's capture journal has been stored: the end of the last journal line handled
   (stored, dropped by the rules or rejected). It moves in the same transaction as the rows it
   covers, so that every line is stored exactly once whatever fails. One row per station (named
   by its journal/station.id), so that several stations can store into one database.
   TracedFile and TracedPos: from there on every row the station stored carries its source in
   Rings (Station, JournalFile, JournalPos), so its lines can be stored again in place (tarvick-tool
   reparse); empty while the station stores rows without it. */
CREATE TABLE JournalMarks (
  Station     VARCHAR(40) NOT NULL,
  JournalFile VARCHAR(14) NOT NULL,
  JournalPos  BIGINT NOT NULL,
  Updated     TIMESTAMP,
  TracedFile  VARCHAR(14),
  TracedPos   BIGINT,
  CONSTRAINT JournalMarks_PK PRIMARY KEY (Station)
);

/* Journal lines handled but not stored: no real date-time where the template reads it (line
   noise, or a template that does not fit the exchange), or refused by the database. The line
   starts at JournalPos of JournalFile; tarvick-tool replay looks at these again, so that a
   corrected template or database brings them in. */
CREATE TABLE RejectedLines (
  Station     VARCHAR(40) NOT NULL,
  JournalFile VARCHAR(14) NOT NULL,
  JournalPos  BIGINT NOT NULL,
  Reason      VARCHAR(250) DEFAULT '' NOT NULL,
  Rejected    TIMESTAMP,
  CONSTRAINT RejectedLines_PK PRIMARY KEY (Station, JournalFile, JournalPos)
);

COMMIT;
