{ chmbuild: compiles a help project (.hhp) into a .chm file.

  Usage: chmbuild PROJECT.hhp OUTPUT.chm

  The project is read by chmfilewriter's own .hhp reader, so the project file stays a standard
  one. The writing differs from chmcmd 3.2.2 in one point: chmcmd stores the topic of each
  [MAP]/[ALIAS] context id under the absolute path of the build machine, where no help viewer
  finds it. Here the topic is stored by its path inside the project, relative to the root of the
  .chm (the form the help viewers resolve as "/topic.htm").

  Relative links in the topics are resolved against the current directory, so run it from the
  project's folder. Errors and warnings of the project (a missing file, a link to a file that does
  not exist) fail the build, and so does any context id that does not lead to a stored topic when
  the written file is read back. }
program chmbuild;

{$mode objfpc}{$H+}

uses
  {$ifdef unix}cwstring, {$endif} // the HTML scanner converts text to wide strings
  Classes, SysUtils, chmfilewriter, chmwriter, chmreader;

type
  { A project whose context ids point at topics inside the .chm. }
  TRootedProject = class(TChmProject)
  public
    procedure WriteChm(AOutStream: TStream); override;
  end;

var
  ProblemCount: Integer = 0;

{ Topic path of a project file inside the .chm, relative to its root. }
function TopicPath(const ProjectFile: String): String;
begin
  Result := StringReplace(ProjectFile, '\', '/', [rfReplaceAll]);
  while (Result <> '') and (Result[1] = '/') do
    Delete(Result, 1, 1);
end;

procedure ReportProblem(Project: TChmProject; Kind: TChmProjectErrorKind; Msg: String;
  DetailLevel: Integer = 0);
begin
  if Kind in [chmerror, chmwarning] then
  begin
    Inc(ProblemCount);
    WriteLn(StdErr, 'chmbuild: ', ChmErrorKindText[Kind], ': ', Msg);
  end;
end;

procedure TRootedProject.WriteChm(AOutStream: TStream);
var
  Writer: TChmWriter;
  Node: TChmContextNode;
  I: Integer;
begin
  LoadSitemaps;
  if ScanHtmlContents then
  begin
    ScanHtml;
    ShowUndefinedAnchors;
  end;

  Writer := TChmWriter.Create(AOutStream, False);
  try
    Writer.OnGetFileData := @GetData;
    Writer.OnLastFile := @LastFileAdded;
    Writer.FilesToCompress.AddStrings(Files);
    Writer.FilesToCompress.AddStrings(OtherFiles);
    Writer.DefaultPage := DefaultPage;
    Writer.Title := Title;
    Writer.DefaultFont := DefaultFont;
    Writer.FullTextSearch := MakeSearchable;
    Writer.HasBinaryTOC := MakeBinaryTOC;
    Writer.HasBinaryIndex := MakeBinaryIndex;
    Writer.IndexName := IndexFileName;
    Writer.TocName := TableOfContentsFileName;
    Writer.ReadmeMessage := ReadmeMessage;
    Writer.DefaultWindow := DefaultWindow;
    Writer.LocaleID := LocaleID;
    for I := 0 to Files.Count - 1 do
    begin
      if not FileExists(ProjectDir + Files[I]) then
        Error(chmerror, 'File ' + Files[I] + ' does not exist');
      Node := TChmContextNode(Files.Objects[I]);
      if Assigned(Node) and (Node.ContextNumber <> 0) then
        Writer.AddContext(Node.ContextNumber, TopicPath(Files[I]));
    end;
    if Windows.Count > 0 then
      Writer.Windows := Windows;
    if MergeFiles.Count > 0 then
      Writer.MergeFiles := MergeFiles;
    Writer.Execute;
  finally
    Writer.Free;
  end;
end;

{ Reads the written file back: every context id must lead to a topic stored in it. }
procedure CheckContexts(Project: TChmProject; const ChmFile: String);
var
  Reader: TChmReader;
  Node: TChmContextNode;
  Url: String;
  I: Integer;
begin
  Reader := TChmReader.Create(TFileStream.Create(ChmFile, fmOpenRead or fmShareDenyWrite), True);
  try
    for I := 0 to Project.Files.Count - 1 do
    begin
      Node := TChmContextNode(Project.Files.Objects[I]);
      if not Assigned(Node) or (Node.ContextNumber = 0) then
        Continue;
      Url := Reader.GetContextUrl(Node.ContextNumber);
      if (Url <> '/' + TopicPath(Project.Files[I])) or (Reader.ObjectExists(Url) = 0) then
        Project.Error(chmerror, Format('context id %d leads to "%s", not to the stored topic %s',
          [Node.ContextNumber, Url, Project.Files[I]]));
    end;
  finally
    Reader.Free;
  end;
end;

procedure Build(const ProjectFile, ChmFile: String);
var
  Project: TRootedProject;
  Output: TFileStream;
begin
  Project := TRootedProject.Create;
  try
    Project.OnError := @ReportProblem;
    Project.LoadFromHhp(ProjectFile, False);
    Output := TFileStream.Create(ChmFile, fmCreate);
    try
      Project.WriteChm(Output);
    finally
      Output.Free;
    end;
    CheckContexts(Project, ChmFile);
  finally
    Project.Free;
  end;
end;

begin
  if ParamCount <> 2 then
  begin
    WriteLn(StdErr, 'usage: chmbuild PROJECT.hhp OUTPUT.chm');
    Halt(2);
  end;
  try
    Build(ParamStr(1), ParamStr(2));
  except
    on E: Exception do
    begin
      WriteLn(StdErr, 'chmbuild: ', E.Message);
      Inc(ProblemCount);
    end;
  end;
  if ProblemCount > 0 then
  begin
    DeleteFile(ParamStr(2));
    Halt(1);
  end;
end.
